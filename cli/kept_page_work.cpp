#include "cli/kept_page_work.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

#include "collect/page_cut.h"
#include "collect/text.h"
#include "results/page_packer.h"

namespace shopwalk {
namespace {

bool SameRow(const ShopRecord& a, const ShopRecord& b) {
  return a.shopId == b.shopId && a.name == b.name && a.reputation == b.reputation &&
         a.messenger == b.messenger && a.openingDate == b.openingDate && a.address == b.address;
}

// Writes `bytes` whole to the file `name` in the folder `folder` (replaced; a symbolic link there
// is not followed); errno's words when it cannot.
std::optional<std::string> WriteFileAt(int folder, const std::string& name,
                                       const std::string& bytes) {
  const int file =
      ::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (file < 0) return std::string(std::strerror(errno));
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = ::write(file, bytes.data() + done, bytes.size() - done);
    if (wrote < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      ::close(file);
      return std::string(std::strerror(error));
    }
    done += static_cast<std::size_t>(wrote);
  }
  if (::close(file) != 0) return std::string(std::strerror(errno));
  return std::nullopt;
}

// One shop's kept pages, as read in shop-ID order.
struct ShopPages {
  std::int32_t shopId = 0;
  std::optional<std::string> home;
  std::optional<std::string> rating;
};

}  // namespace

std::string KeptPageFileName(std::int32_t shopId, PageKind kind) {
  return NumberToText(shopId) + (kind == PageKind::Rating ? "-rating.html" : "-home.html");
}

Expected<PagesWritten, PagesProblem> WriteKeptPages(KeptPageStore& pages,
                                                    const std::string& directory,
                                                    ShopIdRange range) {
  if (directory.empty()) return MakeUnexpected(PagesProblem{directory, "no folder given"});
  const int folder = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) {
    const int error = errno;
    return MakeUnexpected(PagesProblem{
        directory, error == ENOTDIR ? std::string("not a folder") : std::strerror(error)});
  }
  PagesWritten written;
  std::optional<PagesProblem> problem;
  const Expected<void, StoreProblem> read = pages.ForEachKeptPage(
      range.from, range.to, [&](const PackedPage& packed, const PageDictionary* dictionary) {
        if (problem) return;
        const Expected<std::string, UnpackProblem> page = UnpackPage(packed, dictionary);
        if (!page) {
          ++written.unreadable;
          return;
        }
        const std::string name = KeptPageFileName(packed.shopId, packed.kind);
        if (std::optional<std::string> failed = WriteFileAt(folder, name, *page)) {
          problem = PagesProblem{directory + "/" + name, std::move(*failed)};
          return;
        }
        ++written.files;
      });
  ::close(folder);
  if (problem) return MakeUnexpected(std::move(*problem));
  if (!read) return MakeUnexpected(PagesProblem{read.error().path, read.error().reason});
  return written;
}

Expected<ReparseFigures, StoreProblem> ReparseKeptPages(
    KeptPageStore& pages, const std::map<std::int32_t, ShopRecord>& stored,
    const std::set<std::int32_t>& marked, ResultSink& sink, const Markers& markers,
    ShopIdRange range, std::optional<std::int32_t> place) {
  ReparseFigures figures;
  // The next ID after the place that has not been dealt with, while every one before it was.
  std::optional<std::int64_t> next;
  if (place) next = std::int64_t{*place} + 1;
  const auto judge = [&](ShopPages& shop) {
    if (next && shop.shopId >= *next) {
      if (shop.shopId == *next && shop.home) {
        ++*next;
      } else {
        if (*next - 1 > *place) figures.dealtThrough = static_cast<std::int32_t>(*next - 1);
        next.reset();
      }
    }
    // A shop without its home page (dropped, or unreadable): nothing to cut.
    if (!shop.home) return;
    const auto onRecord = stored.find(shop.shopId);
    const bool hasRow = onRecord != stored.end();
    HomeCut home = CutHomePage(markers, *shop.home);
    // Up to the walk's place every ID has its answer on record; above it the walk may have left
    // a shop unanswered (held while the shop's task was under way, its home page kept), and its
    // page may be of before a change that the markers in force are for: a marker that still
    // matches part of it proves nothing. Only a whole row from such a page is taken; for anything
    // else the next walk asks the shop again.
    const bool answeredOnRecord = !place || shop.shopId <= *place;
    const bool unsure = !hasRow && !answeredOnRecord && !marked.contains(shop.shopId);
    if (!unsure &&
        (home.noShop || (!home.Nothing() && (!home.HasFields() || home.shopName.empty())))) {
      // The page says what it is: no shop, or a shop that lacks a field. A row once collected is
      // kept.
      if (hasRow) {
        ++figures.unchanged;
        return;
      }
      sink.Answered(shop.shopId, home.noShop ? ShopOutcome::NoShop : ShopOutcome::NoFields);
      ++figures.withoutRow;
      return;
    }
    if (unsure && (home.noShop || !home.HasFields() || home.shopName.empty())) {
      sink.ToRevisit(shop.shopId);
      ++figures.toRevisit;
      return;
    }
    if (home.Nothing() && !hasRow && !marked.contains(shop.shopId)) {
      // The answer on record was not in doubt (a page of before a change, read with markers for
      // after it): it stands.
      ++figures.withoutRow;
      return;
    }
    if (home.Nothing() || !shop.rating) {
      // Still nothing to go by: the next walk asks the shop again.
      if (hasRow) {
        ++figures.unchanged;
        return;
      }
      sink.ToRevisit(shop.shopId);
      ++figures.toRevisit;
      return;
    }
    RatingCut rating = CutRatingPage(markers, *shop.rating);
    const bool ratingEmpty = rating.openingDate.empty() && rating.reputation.empty();
    const ShopRecord row = RowOfCuts(shop.shopId, std::move(home), std::move(rating));
    if (!hasRow) {
      sink.RowAppended(row);
      ++figures.added;
    } else if (SameRow(row, onRecord->second) || ratingEmpty) {
      // A mark stays while the rating page still gives nothing.
      if (marked.contains(shop.shopId) && !ratingEmpty) sink.RowAppended(onRecord->second);
      ++figures.unchanged;
    } else {
      sink.RowAppended(row);
      ++figures.changed;
    }
  };

  std::optional<ShopPages> shop;
  const Expected<void, StoreProblem> read = pages.ForEachKeptPage(
      range.from, range.to, [&](const PackedPage& packed, const PageDictionary* dictionary) {
        if (!shop || packed.shopId != shop->shopId) {
          if (shop) judge(*shop);
          shop = ShopPages{packed.shopId, std::nullopt, std::nullopt};
        }
        Expected<std::string, UnpackProblem> page = UnpackPage(packed, dictionary);
        if (!page) {
          ++figures.unreadable;
          return;
        }
        (packed.kind == PageKind::Rating ? shop->rating : shop->home) = std::move(*page);
      });
  if (shop) judge(*shop);
  if (next && *next - 1 > *place) figures.dealtThrough = static_cast<std::int32_t>(*next - 1);
  if (!read) return MakeUnexpected(read.error());
  return figures;
}

}  // namespace shopwalk
