// Keeps the walk's place safe: which shop IDs the cursor has moved past without their shop being
// finished. A shop is finished when its task ran to the end (with or without a row); it is
// unfinished while queued or running, and for good when its submission was refused, when its task
// ran the stop sequence instead, or when its transfers were aborted at closing. The next start
// must begin at the lowest unfinished ID, so that none is skipped. Safe from any thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>

namespace shopwalk {

class ProgressTracker {
 public:
  // The dispatcher moved the cursor to `shopId` and is about to submit it.
  void Submitted(std::int32_t shopId);
  // The task of `shopId` ran to its end.
  void Finished(std::int32_t shopId);
  // The shop will not be collected in this run (refused, stop sequence, aborted).
  void Abandoned(std::int32_t shopId);

  // Whether a submitted shop is neither finished nor given up (queued, running or waiting for
  // its next try).
  bool AnyInFlight() const;

  // The lowest ID submitted and not finished, if any.
  std::optional<std::int32_t> LowestUnfinished() const;

  // The text to save as the walk's place: one less than the lowest unfinished ID, or
  // `cursorText` (the shop-ID field's text) when every shop passed was finished.
  std::string ProgressText(const std::string& cursorText) const;

 private:
  mutable std::mutex mutex_;
  std::multiset<std::int32_t> inFlight_;
  std::optional<std::int32_t> lowestAbandoned_;
};

}  // namespace shopwalk
