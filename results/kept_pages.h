// Kept pages in a results store: the packed pages of a walk that keeps them (results/page_packer.h)
// and the dictionaries they were packed with, one page per shop and kind (a page kept again
// replaces the one before). Within a budget the oldest kept pages are dropped first, and counted.
#pragma once

#include <cstdint>
#include <functional>

#include "base/expected.h"
#include "results/page_packer.h"
#include "results/store_problem.h"

namespace shopwalk {

struct KeptPagesSummary {
  std::uint64_t pages = 0;
  // The pages' own bytes, and what they take packed (dictionaries not counted).
  std::uint64_t pageBytes = 0;
  std::uint64_t packedBytes = 0;
  // Pages dropped to stay within the budget, ever.
  std::uint64_t dropped = 0;
};

// The part of a results store that keeps pages. Reports are queued in order with the store's other
// reports (a dictionary before the pages packed with it); reads see everything reported before.
class KeptPageStore {
 public:
  virtual ~KeptPageStore() = default;

  virtual void KeepDictionary(const PageDictionary& dictionary) = 0;
  virtual void KeepPage(const PackedPage& page) = 0;
  // The most packed bytes kept (0: no limit); past it the oldest kept pages are dropped when the
  // reports are written. Set before pages are kept.
  virtual void SetKeptPagesBudget(std::uint64_t packedBytes) = 0;

  // A dictionary id not used in the store yet (never 0); each run that keeps pages takes one.
  virtual Expected<std::uint32_t, StoreProblem> NewDictionaryId() = 0;
  // The kept pages of shop IDs in [from, to], in shop-ID order, the home page before the rating
  // page, each with the dictionary it was packed with (null: none). `visit` must not call the
  // store's reading members.
  virtual Expected<void, StoreProblem> ForEachKeptPage(
      std::int32_t from, std::int32_t to,
      const std::function<void(const PackedPage&, const PageDictionary*)>& visit) = 0;
  virtual Expected<KeptPagesSummary, StoreProblem> KeptPages() = 0;
};

}  // namespace shopwalk
