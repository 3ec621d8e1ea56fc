// Keeps a walk's answered pages in a results store: the engine's page sink (collect/page_sink.h)
// over a KeptPageStore. The run's first pages are gathered to train a dictionary, then every page
// is packed with it (results/page_packer.h) and reported to the store, the dictionary before the
// first page packed with it.
//
// PageAnswered may be called from any number of worker threads at once: pages are packed one at a
// time under the keeper's lock, so the reports reach the store in one order. Finish, at the run's
// end, packs and reports the pages still gathered (a run too short to train a dictionary keeps its
// pages without one); pages that come after it are packed at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>

#include "base/expected.h"
#include "collect/page_sink.h"
#include "results/kept_pages.h"
#include "results/page_packer.h"
#include "results/store_problem.h"

namespace shopwalk {

// How a keeper trains its dictionary (the packer's defaults).
struct PageKeeperOptions {
  std::size_t trainingPages = 100;
  std::size_t dictionaryBytes = std::size_t{16} * 1024;
  std::size_t trainingBytes = std::size_t{8} << 20;
};

class PageKeeper : public PageSink {
 public:
  // A keeper over `store` (which must outlive it) with a dictionary id of its own, taken from the
  // store now; the store's problem when it cannot give one.
  static Expected<std::unique_ptr<PageKeeper>, StoreProblem> Open(
      KeptPageStore& store, const PageKeeperOptions& options = {});
  ~PageKeeper() override = default;
  PageKeeper(const PageKeeper&) = delete;
  PageKeeper& operator=(const PageKeeper&) = delete;

  void PageAnswered(std::int32_t shopId, PageKind kind, std::string_view page) override;
  // Packs and reports the pages still gathered. Harmless to call again.
  void Finish();

  struct Figures {
    // Pages handed to the keeper, and those reported to the store (packed).
    std::uint64_t pagesAnswered = 0;
    std::uint64_t pagesKept = 0;
    std::uint64_t pageBytes = 0;
    std::uint64_t packedBytes = 0;
  };
  Figures Kept() const;
  std::uint32_t DictionaryId() const { return dictionaryId_; }

 private:
  PageKeeper(KeptPageStore& store, std::uint32_t dictionaryId, const PageKeeperOptions& options);
  // Reports packed pages, the dictionary first when it is new. Under mutex_.
  void Report(std::vector<PackedPage> packed);

  KeptPageStore& store_;
  const std::uint32_t dictionaryId_;
  mutable std::mutex mutex_;
  PagePacker packer_;
  bool dictionaryKept_ = false;
  Figures figures_;
};

}  // namespace shopwalk
