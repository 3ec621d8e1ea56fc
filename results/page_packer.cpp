#include "results/page_packer.h"

#include <zdict.h>
#include <zstd.h>

namespace shopwalk {
namespace {

constexpr int Level = 3;

}  // namespace

struct PagePacker::Zstd {
  ZSTD_CCtx* context = ZSTD_createCCtx();
  ZSTD_CDict* dictionary = nullptr;
  ~Zstd() {
    ZSTD_freeCDict(dictionary);
    ZSTD_freeCCtx(context);
  }
  Zstd() = default;
  Zstd(const Zstd&) = delete;
  Zstd& operator=(const Zstd&) = delete;
};

PagePacker::PagePacker(std::uint32_t dictionaryId, std::size_t trainingPages,
                       std::size_t dictionaryBytes, std::size_t trainingBytes)
    : dictionaryId_(dictionaryId),
      trainingPages_(trainingPages),
      dictionaryBytes_(dictionaryBytes),
      trainingBytes_(trainingBytes),
      zstd_(std::make_unique<Zstd>()) {}

PagePacker::~PagePacker() = default;

std::vector<PackedPage> PagePacker::Add(std::int32_t shopId, PageKind kind, std::string_view page) {
  if (trained_) return {Pack(shopId, kind, page)};
  gathered_.push_back({shopId, kind, std::string(page)});
  gatheredBytes_ += page.size();
  if (gathered_.size() < trainingPages_ && gatheredBytes_ < trainingBytes_) return {};
  return TrainAndPackGathered();
}

std::vector<PackedPage> PagePacker::Finish() {
  if (trained_) return {};
  return TrainAndPackGathered();
}

std::vector<PackedPage> PagePacker::TrainAndPackGathered() {
  trained_ = true;
  std::string samples;
  std::vector<std::size_t> sizes;
  for (const Gathered& g : gathered_) {
    samples += g.page;
    sizes.push_back(g.page.size());
  }
  std::string bytes(dictionaryBytes_, '\0');
  const std::size_t made =
      gathered_.size() < 8
          ? 0
          : ZDICT_trainFromBuffer(bytes.data(), bytes.size(), samples.data(), sizes.data(),
                                  static_cast<unsigned>(sizes.size()));
  if (made != 0 && ZDICT_isError(made) == 0) {
    bytes.resize(made);
    zstd_->dictionary = ZSTD_createCDict(bytes.data(), bytes.size(), Level);
    if (zstd_->dictionary != nullptr) dictionary_ = PageDictionary{dictionaryId_, std::move(bytes)};
  }
  std::vector<PackedPage> packed;
  packed.reserve(gathered_.size());
  for (const Gathered& g : gathered_) packed.push_back(Pack(g.shopId, g.kind, g.page));
  gathered_.clear();
  gathered_.shrink_to_fit();
  gatheredBytes_ = 0;
  return packed;
}

PackedPage PagePacker::Pack(std::int32_t shopId, PageKind kind, std::string_view page) {
  PackedPage packed{shopId, kind, 0, page.size(), {}};
  packed.bytes.resize(ZSTD_compressBound(page.size()));
  std::size_t size = 0;
  if (zstd_->dictionary != nullptr) {
    size = ZSTD_compress_usingCDict(zstd_->context, packed.bytes.data(), packed.bytes.size(),
                                    page.data(), page.size(), zstd_->dictionary);
    packed.dictionaryId = dictionaryId_;
  } else {
    size = ZSTD_compressCCtx(zstd_->context, packed.bytes.data(), packed.bytes.size(), page.data(),
                             page.size(), Level);
  }
  // The bound always fits; an error here would be a fault of the library, kept as no bytes.
  packed.bytes.resize(ZSTD_isError(size) != 0 ? 0 : size);
  return packed;
}

Expected<std::string, UnpackProblem> UnpackPage(const PackedPage& packed,
                                                const PageDictionary* dictionary) {
  if (packed.dictionaryId != 0 &&
      (dictionary == nullptr || dictionary->id != packed.dictionaryId)) {
    return MakeUnexpected(UnpackProblem{std::string("the page needs dictionary ") +
                                        std::to_string(packed.dictionaryId)});
  }
  const unsigned long long size =
      ZSTD_getFrameContentSize(packed.bytes.data(), packed.bytes.size());
  if (size == ZSTD_CONTENTSIZE_ERROR || size == ZSTD_CONTENTSIZE_UNKNOWN) {
    return MakeUnexpected(UnpackProblem{"not a packed page"});
  }
  if (size > MaxUnpackedBytes) return MakeUnexpected(UnpackProblem{"the page would be too large"});
  std::string page(static_cast<std::size_t>(size), '\0');
  ZSTD_DCtx* context = ZSTD_createDCtx();
  const std::size_t made =
      packed.dictionaryId != 0
          ? ZSTD_decompress_usingDict(context, page.data(), page.size(), packed.bytes.data(),
                                      packed.bytes.size(), dictionary->bytes.data(),
                                      dictionary->bytes.size())
          : ZSTD_decompressDCtx(context, page.data(), page.size(), packed.bytes.data(),
                                packed.bytes.size());
  ZSTD_freeDCtx(context);
  if (ZSTD_isError(made) != 0) return MakeUnexpected(UnpackProblem{ZSTD_getErrorName(made)});
  if (made != page.size()) return MakeUnexpected(UnpackProblem{"the page is cut short"});
  return page;
}

std::size_t PageBudget::Add(std::uint64_t bytes) {
  sizes_.push_back(bytes);
  kept_ += bytes;
  std::size_t drop = 0;
  while (budget_ != 0 && kept_ > budget_ && KeptPages() > 1) {
    kept_ -= sizes_[first_++];
    ++drop;
  }
  dropped_ += drop;
  // The sizes of dropped pages are forgotten once they are half the list.
  if (first_ > 1024 && first_ * 2 > sizes_.size()) {
    sizes_.erase(sizes_.begin(), sizes_.begin() + static_cast<std::ptrdiff_t>(first_));
    first_ = 0;
  }
  return drop;
}

}  // namespace shopwalk
