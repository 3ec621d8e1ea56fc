#include "results/page_keeper.h"

#include <utility>

namespace shopwalk {

Expected<std::unique_ptr<PageKeeper>, StoreProblem> PageKeeper::Open(
    KeptPageStore& store, const PageKeeperOptions& options) {
  Expected<std::uint32_t, StoreProblem> id = store.NewDictionaryId();
  if (!id) return MakeUnexpected(std::move(id.error()));
  return std::unique_ptr<PageKeeper>(new PageKeeper(store, *id, options));
}

PageKeeper::PageKeeper(KeptPageStore& store, std::uint32_t dictionaryId,
                       const PageKeeperOptions& options)
    : store_(store),
      dictionaryId_(dictionaryId),
      packer_(dictionaryId, options.trainingPages, options.dictionaryBytes, options.trainingBytes) {
}

void PageKeeper::PageAnswered(std::int32_t shopId, PageKind kind, std::string_view page) {
  const std::lock_guard<std::mutex> lock(mutex_);
  ++figures_.pagesAnswered;
  Report(packer_.Add(shopId, kind, page));
}

void PageKeeper::Finish() {
  const std::lock_guard<std::mutex> lock(mutex_);
  Report(packer_.Finish());
}

PageKeeper::Figures PageKeeper::Kept() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return figures_;
}

void PageKeeper::Report(std::vector<PackedPage> packed) {
  if (packed.empty()) return;
  if (!dictionaryKept_ && packer_.Dictionary()) {
    store_.KeepDictionary(*packer_.Dictionary());
    dictionaryKept_ = true;
  }
  for (const PackedPage& page : packed) {
    figures_.pageBytes += page.pageBytes;
    figures_.packedBytes += page.bytes.size();
    ++figures_.pagesKept;
    store_.KeepPage(page);
  }
}

}  // namespace shopwalk
