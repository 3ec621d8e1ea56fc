// Kept pages, packed small: every answered page a walk keeps is compressed with zstd, using a
// dictionary trained on the run's first pages (pages of one marketplace share most of their
// markup, which a dictionary holds once instead of in every page).
//
// A PagePacker is used by one thread at a time. Page bytes are any bytes; unpacking refuses
// (never crashes on) bytes that are not a packed page, and never makes more than MaxUnpackedBytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/expected.h"
#include "collect/page_sink.h"

namespace shopwalk {

// The largest page unpacked: as much as the web client takes of one answer.
inline constexpr std::size_t MaxUnpackedBytes = std::size_t{32} << 20;

// A dictionary pages were packed with; id 0 is none.
struct PageDictionary {
  std::uint32_t id = 0;
  std::string bytes;
};

struct PackedPage {
  std::int32_t shopId = 0;
  PageKind kind = PageKind::Home;
  std::uint32_t dictionaryId = 0;  // 0: packed without a dictionary
  std::size_t pageBytes = 0;       // the page's own size
  std::string bytes;               // zstd frame
};

class PagePacker {
 public:
  // Gathers the first `trainingPages` pages to train a dictionary of at most `dictionaryBytes`;
  // `dictionaryId` names the dictionary (a store gives each run's its own). Gathering ends early
  // once the pages gathered hold `trainingBytes`, so large pages never pile up in memory.
  PagePacker(std::uint32_t dictionaryId, std::size_t trainingPages = 100,
             std::size_t dictionaryBytes = std::size_t{16} * 1024,
             std::size_t trainingBytes = std::size_t{8} << 20);
  ~PagePacker();
  PagePacker(const PagePacker&) = delete;
  PagePacker& operator=(const PagePacker&) = delete;

  // Takes a page. While the first pages are gathered nothing comes back; the page that completes
  // them brings back every gathered page, packed with the new dictionary (or without one when
  // training fails: fewer than 8 pages, or pages too alike). After that each page comes back at
  // once.
  std::vector<PackedPage> Add(std::int32_t shopId, PageKind kind, std::string_view page);
  // The pages still gathered, packed (for a run that ends before the dictionary is trained).
  std::vector<PackedPage> Finish();
  // The dictionary once trained; nothing before, or when training failed.
  const std::optional<PageDictionary>& Dictionary() const { return dictionary_; }

 private:
  struct Gathered {
    std::int32_t shopId;
    PageKind kind;
    std::string page;
  };
  PackedPage Pack(std::int32_t shopId, PageKind kind, std::string_view page);
  std::vector<PackedPage> TrainAndPackGathered();

  std::uint32_t dictionaryId_;
  std::size_t trainingPages_;
  std::size_t dictionaryBytes_;
  std::size_t trainingBytes_;
  std::vector<Gathered> gathered_;
  std::size_t gatheredBytes_ = 0;
  bool trained_ = false;
  std::optional<PageDictionary> dictionary_;
  struct Zstd;
  std::unique_ptr<Zstd> zstd_;
};

// Why a kept page could not be unpacked.
struct UnpackProblem {
  std::string reason;
};

// The page of `packed`, with `dictionary` when it was packed with one (its id must match).
// Refused, with the reason, when the bytes are no zstd frame, need another dictionary, are
// damaged or would unpack to more than MaxUnpackedBytes.
Expected<std::string, UnpackProblem> UnpackPage(const PackedPage& packed,
                                                const PageDictionary* dictionary);

// The budget of kept pages: their packed bytes in the order they were kept. Add says how many of
// the oldest must go so that the kept ones fit in `budgetBytes` (0: no budget); a page larger than
// the whole budget pushes out every other page but is kept itself.
class PageBudget {
 public:
  explicit PageBudget(std::uint64_t budgetBytes) : budget_(budgetBytes) {}
  // Counts a page of `bytes` as kept; the number of oldest pages to drop.
  std::size_t Add(std::uint64_t bytes);
  std::uint64_t KeptBytes() const { return kept_; }
  std::size_t KeptPages() const { return sizes_.size() - first_; }
  std::uint64_t DroppedPages() const { return dropped_; }

 private:
  std::uint64_t budget_;
  std::uint64_t kept_ = 0;
  std::uint64_t dropped_ = 0;
  std::vector<std::uint64_t> sizes_;
  std::size_t first_ = 0;
};

}  // namespace shopwalk
