#include "collect/progress.h"

#include <algorithm>
#include <limits>

#include "collect/text.h"

namespace shopwalk {

void ProgressTracker::Submitted(std::int32_t shopId) {
  std::lock_guard lock(mutex_);
  inFlight_.insert(shopId);
}

void ProgressTracker::Finished(std::int32_t shopId) {
  std::lock_guard lock(mutex_);
  auto it = inFlight_.find(shopId);
  if (it != inFlight_.end()) inFlight_.erase(it);
}

void ProgressTracker::Abandoned(std::int32_t shopId) {
  std::lock_guard lock(mutex_);
  auto it = inFlight_.find(shopId);
  if (it != inFlight_.end()) inFlight_.erase(it);
  lowestAbandoned_ = lowestAbandoned_ ? std::min(*lowestAbandoned_, shopId) : shopId;
}

bool ProgressTracker::AnyInFlight() const {
  std::lock_guard lock(mutex_);
  return !inFlight_.empty();
}

std::optional<std::int32_t> ProgressTracker::LowestUnfinished() const {
  std::lock_guard lock(mutex_);
  std::optional<std::int32_t> lowest = lowestAbandoned_;
  if (!inFlight_.empty()) {
    std::int32_t first = *inFlight_.begin();
    lowest = lowest ? std::min(*lowest, first) : first;
  }
  return lowest;
}

std::string ProgressTracker::ProgressText(const std::string& cursorText) const {
  std::optional<std::int32_t> lowest = LowestUnfinished();
  if (!lowest) return cursorText;
  // The next start collects from the saved ID plus one.
  std::int32_t resumeAfter =
      *lowest == std::numeric_limits<std::int32_t>::min() ? *lowest : *lowest - 1;
  // A cursor the user moved below the unfinished shops is the earlier place.
  std::int32_t cursor = TextToInt(cursorText);
  if (NumberToText(cursor) == cursorText && cursor < resumeAfter) return cursorText;
  return NumberToText(resumeAfter);
}

}  // namespace shopwalk
