// The page-match guard: notices when the marketplace's pages stop matching the markers (a new
// layout, a verification page answered with 200, another encoding, a reworded "no such shop"
// notice) while the walk goes on, so that the walk can hold before it records days of IDs as
// answered without a row.
//
// It looks at a sliding window of the last answered home pages and, within it, at three shares,
// each against the share seen before (pages that left the window in this run, and the store's
// history of earlier runs):
// - home pages without fields: of the pages without the notice, those whose markers did not
//   match (a reworded notice turns absent shops into these);
// - rating pages without date and reputation: of the rows, those whose rating page yielded
//   neither;
// - the notice on shops known to exist: of the pages of IDs at or below the highest shop ID
//   known (in the run or the store), those with the notice. Above that ID a run of notices is the
//   top of the marketplace and never trips the guard.
// A share trips the guard when the window is full, enough pages of its kind are in it
// (PageMatchLimits::judged, ratingJudged), it reaches its floor, and it exceeds the share seen
// before by its rise. Once tripped the guard stays tripped; it says which share tripped it and
// which IDs of the window (and any answered after) are not to be trusted.
//
// Safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

namespace shopwalk {

// The thresholds; config.ini's Guard_* keys set them (store/run_settings.h).
struct PageMatchLimits {
  // Answered home pages in the window; 0 switches the guard off.
  int window = 200;
  // Pages of a share's kind the window must hold before the share is judged (home pages
  // without the notice; rows). Nothing is judged before the window is full, so that a chance
  // run of shops without fields at the start of a run does not trip the guard.
  int judged = 20;
  int ratingJudged = 20;
  // Home pages without fields, and rating pages without date and reputation: the share must
  // reach `floor` and exceed the share seen before by `rise` (fractions of 1).
  double fieldsRise = 0.35;
  double fieldsFloor = 0.5;
  // The notice on pages of shops known to exist: judged only against a share seen before over at
  // least `judged` such pages.
  double noticeRise = 0.15;
  double noticeFloor = 0.9;
};

// How a home page was answered.
enum class HomeAnswer {
  Row,       // fields matched (and a row was made)
  NoFields,  // no notice, and the markers did not match
  NoShop,    // the notice
};

// What the store saw before this run, for the shares seen before (all zero: nothing).
struct PageMatchHistory {
  // Home pages without the notice, and those of them that gave no fields.
  std::int64_t withoutNotice = 0;
  std::int64_t noFields = 0;
  // Rows, and those whose rating page gave neither date nor reputation.
  std::int64_t rows = 0;
  std::int64_t ratingEmpty = 0;
  // Answered IDs at or below `highestShopId`, and those answered "no shop".
  std::int64_t belowHighest = 0;
  std::int64_t noShopBelowHighest = 0;
  // The highest shop ID with a row.
  std::optional<std::int32_t> highestShopId;
  // The latest answers on record (the highest shop IDs above the highest shop marked to revisit:
  // below it a guard judged them, and its marks left no fair sample), in rising shop-ID order, at
  // most MaxLatest of them (the guard takes a window of them), failed shops left out: they are
  // counted above too. A run cut off (killed, or
  // stopped) after the pages changed but before its guard could judge them would leave them
  // final; the next run's window starts with them instead, so they are judged, and marked if the
  // guard trips.
  static constexpr std::size_t MaxLatest = 1000;
  struct LatestAnswer {
    std::int32_t shopId = 0;
    HomeAnswer answer = HomeAnswer::Row;
    bool ratingEmpty = false;
  };
  std::vector<LatestAnswer> latest;
};

// Which share tripped the guard.
enum class PageMismatch {
  None,
  HomeFields,     // home pages without fields
  RatingFields,   // rating pages without date and reputation
  NoticeOnShops,  // the "no such shop" notice on pages of shops known to exist
};

class PageMatchGuard {
 public:
  explicit PageMatchGuard(PageMatchLimits limits = {}, const PageMatchHistory& history = {});

  // Sets the limits and the history and forgets every page seen; before the walk starts. The
  // window starts with the history's latest answers.
  void Reset(PageMatchLimits limits, const PageMatchHistory& history);

  // What the guard made of an answer.
  struct Verdict {
    // The mismatch this answer tripped the guard with (None when it did not, or the guard had
    // tripped before).
    PageMismatch tripped = PageMismatch::None;
    // The answer is not to be trusted: the guard has tripped (now or before) and the answer is
    // of the tripping kind.
    bool suspect = false;
  };
  // A home page of `shopId` was answered; for a row, `ratingEmpty` says that its rating page
  // gave neither date nor reputation. `again`: the shop is asked again from an earlier run's
  // record (a failure, or a mark to revisit); such shops are no fair sample of the pages (most of
  // them gave no fields before), so their answers stay out of the window, but become suspects
  // like the window's if the guard trips later in the run.
  Verdict Answered(std::int32_t shopId, HomeAnswer answer, bool ratingEmpty = false,
                   bool again = false);

  // The share that tripped the guard (None: not tripped).
  PageMismatch Tripped() const;
  // Once tripped: the IDs whose answers are not to be trusted, those of the window as it tripped
  // and every one answered since (the answers of the tripping kind: no fields; rows with empty
  // rating pages; notices at or below the highest known shop). Empty while not tripped.
  std::vector<std::int32_t> Suspects() const;

  // The shares now, for display and benchmarks: of the window, and seen before (fractions of 1;
  // nothing when no page of the kind counts).
  struct Shares {
    std::optional<double> homeFields;
    std::optional<double> ratingFields;
    std::optional<double> noticeOnShops;
  };
  Shares WindowShares() const;
  Shares ShareBefore() const;

 private:
  struct Entry {
    std::int32_t shopId = 0;
    HomeAnswer answer = HomeAnswer::Row;
    bool ratingEmpty = false;
  };
  // Counts of one share: pages of its kind, and those matching badly.
  struct Count {
    std::int64_t pages = 0;
    std::int64_t bad = 0;
    std::optional<double> Share() const;
  };
  struct WindowCounts {
    Count fields;
    Count rating;
    Count notice;
  };
  WindowCounts CountWindow() const;
  void Leave(const Entry& entry);
  bool Trips(const Count& window, const Count& before, int judged, double rise, double floor,
             bool needsBefore) const;
  bool SuspectLocked(std::int32_t shopId, HomeAnswer answer, bool ratingEmpty) const;

  mutable std::mutex mutex_;
  PageMatchLimits limits_;
  std::deque<Entry> window_;
  // Answers of shops asked again, outside the window.
  std::vector<Entry> again_;
  // Seen before: the store's history plus the pages that left the window.
  Count fieldsBefore_;
  Count ratingBefore_;
  Count noticeBefore_;
  std::optional<std::int32_t> highestShopId_;
  PageMismatch tripped_ = PageMismatch::None;
  std::vector<std::int32_t> suspects_;
};

}  // namespace shopwalk
