#include "tests/support/memory_kept_pages.h"

#include <algorithm>

namespace shopwalk::test {

void MemoryKeptPages::KeepDictionary(const PageDictionary& dictionary) {
  const std::lock_guard<std::mutex> lock(mutex_);
  dictionaries_[dictionary.id] = dictionary;
  reports_.push_back({true, dictionary.id, 0, PageKind::Home});
}

void MemoryKeptPages::KeepPage(const PackedPage& page) {
  const std::lock_guard<std::mutex> lock(mutex_);
  pages_[{page.shopId, page.kind}] = Kept{page, ++seq_};
  reports_.push_back({false, page.dictionaryId, page.shopId, page.kind});
  DropOldestBeyondBudget();
}

void MemoryKeptPages::SetKeptPagesBudget(std::uint64_t packedBytes) {
  const std::lock_guard<std::mutex> lock(mutex_);
  budget_ = packedBytes;
  DropOldestBeyondBudget();
}

void MemoryKeptPages::DropOldestBeyondBudget() {
  if (budget_ == 0) return;
  std::uint64_t total = 0;
  for (const auto& [key, kept] : pages_) total += kept.page.bytes.size();
  while (total > budget_ && pages_.size() > 1) {
    auto oldest = std::min_element(pages_.begin(), pages_.end(), [](const auto& a, const auto& b) {
      return a.second.seq < b.second.seq;
    });
    total -= oldest->second.page.bytes.size();
    pages_.erase(oldest);
    ++dropped_;
  }
}

Expected<std::uint32_t, StoreProblem> MemoryKeptPages::NewDictionaryId() {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (idProblem_) return MakeUnexpected(*idProblem_);
  return ++lastDictionaryId_;
}

Expected<void, StoreProblem> MemoryKeptPages::ForEachKeptPage(
    std::int32_t from, std::int32_t to,
    const std::function<void(const PackedPage&, const PageDictionary*)>& visit) {
  std::vector<PackedPage> pages;
  std::map<std::uint32_t, PageDictionary> dictionaries;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = pages_.lower_bound({from, PageKind::Home});
         it != pages_.end() && it->first.first <= to; ++it) {
      pages.push_back(it->second.page);
    }
    dictionaries = dictionaries_;
  }
  for (const PackedPage& page : pages) {
    const auto dictionary = dictionaries.find(page.dictionaryId);
    visit(page, dictionary == dictionaries.end() ? nullptr : &dictionary->second);
  }
  return {};
}

Expected<KeptPagesSummary, StoreProblem> MemoryKeptPages::KeptPages() {
  const std::lock_guard<std::mutex> lock(mutex_);
  KeptPagesSummary summary;
  for (const auto& [key, kept] : pages_) {
    ++summary.pages;
    summary.pageBytes += kept.page.pageBytes;
    summary.packedBytes += kept.page.bytes.size();
  }
  summary.dropped = dropped_;
  return summary;
}

std::vector<MemoryKeptPages::Report> MemoryKeptPages::Reports() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return reports_;
}

void MemoryKeptPages::FailNewDictionaryId(std::optional<StoreProblem> problem) {
  const std::lock_guard<std::mutex> lock(mutex_);
  idProblem_ = std::move(problem);
}

}  // namespace shopwalk::test
