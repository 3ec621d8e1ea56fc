// Kept pages in memory for tests, kept as a results store keeps them: one page per shop and kind
// (a page kept again replaces the one before and becomes the newest), the dictionaries, and a
// budget applied as pages come (the oldest dropped first, and counted). Safe from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "results/kept_pages.h"

namespace shopwalk::test {

class MemoryKeptPages : public KeptPageStore {
 public:
  void KeepDictionary(const PageDictionary& dictionary) override;
  void KeepPage(const PackedPage& page) override;
  void SetKeptPagesBudget(std::uint64_t packedBytes) override;
  Expected<std::uint32_t, StoreProblem> NewDictionaryId() override;
  Expected<void, StoreProblem> ForEachKeptPage(
      std::int32_t from, std::int32_t to,
      const std::function<void(const PackedPage&, const PageDictionary*)>& visit) override;
  Expected<KeptPagesSummary, StoreProblem> KeptPages() override;

  // Every report in the order it came: a dictionary's id, or a page's shop ID and kind.
  struct Report {
    bool dictionary = false;
    std::uint32_t dictionaryId = 0;
    std::int32_t shopId = 0;
    PageKind kind = PageKind::Home;
  };
  std::vector<Report> Reports();
  // NewDictionaryId fails with `problem` from now on (none: it works again).
  void FailNewDictionaryId(std::optional<StoreProblem> problem);

 private:
  using Key = std::pair<std::int32_t, PageKind>;
  struct Kept {
    PackedPage page;
    std::uint64_t seq = 0;
  };
  void DropOldestBeyondBudget();

  std::mutex mutex_;
  std::map<std::uint32_t, PageDictionary> dictionaries_;
  std::map<Key, Kept> pages_;
  std::vector<Report> reports_;
  std::uint64_t budget_ = 0;
  std::uint64_t seq_ = 0;
  std::uint64_t dropped_ = 0;
  std::uint32_t lastDictionaryId_ = 0;
  std::optional<StoreProblem> idProblem_;
};

}  // namespace shopwalk::test
