#include "collect/page_match_guard.h"

#include <algorithm>

namespace shopwalk {

PageMatchGuard::PageMatchGuard(PageMatchLimits limits, const PageMatchHistory& history) {
  Reset(limits, history);
}

void PageMatchGuard::Reset(PageMatchLimits limits, const PageMatchHistory& history) {
  const std::lock_guard<std::mutex> lock(mutex_);
  limits_ = limits;
  window_.clear();
  again_.clear();
  highestShopId_ = history.highestShopId;
  // The latest answers go into the window, out of the counts seen before.
  std::size_t first = 0;
  if (limits_.window > 0 && history.latest.size() > static_cast<std::size_t>(limits_.window)) {
    first = history.latest.size() - static_cast<std::size_t>(limits_.window);
  }
  for (std::size_t i = first; i < history.latest.size() && limits_.window > 0; ++i) {
    const PageMatchHistory::LatestAnswer& answer = history.latest[i];
    window_.push_back({answer.shopId, answer.answer, answer.ratingEmpty});
  }
  const WindowCounts latest = CountWindow();
  // Counts below zero or beyond their whole are a store's fault; they count as nothing seen.
  const auto sane = [](std::int64_t pages, std::int64_t bad) {
    if (pages <= 0 || bad < 0 || bad > pages) return Count{};
    return Count{pages, bad};
  };
  fieldsBefore_ =
      sane(history.withoutNotice - latest.fields.pages, history.noFields - latest.fields.bad);
  ratingBefore_ = sane(history.rows - latest.rating.pages, history.ratingEmpty - latest.rating.bad);
  noticeBefore_ = sane(history.belowHighest - latest.notice.pages,
                       history.noShopBelowHighest - latest.notice.bad);
  tripped_ = PageMismatch::None;
  suspects_.clear();
}

std::optional<double> PageMatchGuard::Count::Share() const {
  if (pages <= 0) return std::nullopt;
  return static_cast<double>(bad) / static_cast<double>(pages);
}

PageMatchGuard::WindowCounts PageMatchGuard::CountWindow() const {
  WindowCounts counts;
  for (const Entry& entry : window_) {
    if (entry.answer != HomeAnswer::NoShop) {
      ++counts.fields.pages;
      if (entry.answer == HomeAnswer::NoFields) ++counts.fields.bad;
    }
    if (entry.answer == HomeAnswer::Row) {
      ++counts.rating.pages;
      if (entry.ratingEmpty) ++counts.rating.bad;
    }
    if (highestShopId_ && entry.shopId <= *highestShopId_) {
      ++counts.notice.pages;
      if (entry.answer == HomeAnswer::NoShop) ++counts.notice.bad;
    }
  }
  return counts;
}

void PageMatchGuard::Leave(const Entry& entry) {
  if (entry.answer != HomeAnswer::NoShop) {
    ++fieldsBefore_.pages;
    if (entry.answer == HomeAnswer::NoFields) ++fieldsBefore_.bad;
  }
  if (entry.answer == HomeAnswer::Row) {
    ++ratingBefore_.pages;
    if (entry.ratingEmpty) ++ratingBefore_.bad;
  }
  if (highestShopId_ && entry.shopId <= *highestShopId_) {
    ++noticeBefore_.pages;
    if (entry.answer == HomeAnswer::NoShop) ++noticeBefore_.bad;
  }
}

bool PageMatchGuard::Trips(const Count& window, const Count& before, int judged, double rise,
                           double floor, bool needsBefore) const {
  if (window.pages < std::max(judged, 1)) return false;
  const double share = *window.Share();
  if (share < floor) return false;
  if (before.pages < std::max(judged, 1)) return !needsBefore;
  return share > *before.Share() + rise;
}

PageMatchGuard::Verdict PageMatchGuard::Answered(std::int32_t shopId, HomeAnswer answer,
                                                 bool ratingEmpty, bool again) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (limits_.window <= 0) return {};
  if (tripped_ != PageMismatch::None) {
    const bool suspect = SuspectLocked(shopId, answer, ratingEmpty);
    if (suspect) suspects_.push_back(shopId);
    return {PageMismatch::None, suspect};
  }
  // A row with its rating page matching makes its shop known; a row whose rating page gave
  // nothing still names a shop that exists.
  if (answer == HomeAnswer::Row && (!highestShopId_ || shopId > *highestShopId_)) {
    highestShopId_ = shopId;
  }
  if (again) {
    again_.push_back({shopId, answer, ratingEmpty});
    return {};
  }
  window_.push_back({shopId, answer, ratingEmpty});
  while (window_.size() > static_cast<std::size_t>(limits_.window)) {
    Leave(window_.front());
    window_.pop_front();
  }
  if (window_.size() < static_cast<std::size_t>(limits_.window)) return {};
  const WindowCounts counts = CountWindow();
  if (Trips(counts.fields, fieldsBefore_, limits_.judged, limits_.fieldsRise, limits_.fieldsFloor,
            false)) {
    tripped_ = PageMismatch::HomeFields;
  } else if (Trips(counts.rating, ratingBefore_, limits_.ratingJudged, limits_.fieldsRise,
                   limits_.fieldsFloor, false)) {
    tripped_ = PageMismatch::RatingFields;
  } else if (Trips(counts.notice, noticeBefore_, limits_.judged, limits_.noticeRise,
                   limits_.noticeFloor, true)) {
    tripped_ = PageMismatch::NoticeOnShops;
  } else {
    return {};
  }
  for (const Entry& entry : again_) {
    if (SuspectLocked(entry.shopId, entry.answer, entry.ratingEmpty)) {
      suspects_.push_back(entry.shopId);
    }
  }
  for (const Entry& entry : window_) {
    if (SuspectLocked(entry.shopId, entry.answer, entry.ratingEmpty)) {
      suspects_.push_back(entry.shopId);
    }
  }
  again_.clear();
  return {tripped_, SuspectLocked(shopId, answer, ratingEmpty)};
}

bool PageMatchGuard::SuspectLocked(std::int32_t shopId, HomeAnswer answer, bool ratingEmpty) const {
  switch (tripped_) {
    case PageMismatch::None:
      return false;
    case PageMismatch::HomeFields:
      return answer == HomeAnswer::NoFields;
    case PageMismatch::RatingFields:
      return answer == HomeAnswer::Row && ratingEmpty;
    case PageMismatch::NoticeOnShops:
      return answer == HomeAnswer::NoShop && highestShopId_ && shopId <= *highestShopId_;
  }
  return false;
}

PageMismatch PageMatchGuard::Tripped() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return tripped_;
}

std::vector<std::int32_t> PageMatchGuard::Suspects() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return suspects_;
}

PageMatchGuard::Shares PageMatchGuard::WindowShares() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  const WindowCounts counts = CountWindow();
  return {counts.fields.Share(), counts.rating.Share(), counts.notice.Share()};
}

PageMatchGuard::Shares PageMatchGuard::ShareBefore() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return {fieldsBefore_.Share(), ratingBefore_.Share(), noticeBefore_.Share()};
}

}  // namespace shopwalk
