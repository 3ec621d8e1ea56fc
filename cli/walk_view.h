// The command line's host of the engine: the shop-ID field and the thread count held in memory,
// the rows handed to whoever writes them out, and the shared walk's figures and the store's
// trouble kept beside the engine's figures for a progress display to read at any moment. Safe
// from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "base/clock.h"
#include "collect/collector_ui.h"
#include "collect/run_figures.h"

namespace shopwalk {

// A walk shared by several machines, as its store last told.
struct ClusterFigures {
  // Nodes seen within the last lease, this one included.
  std::size_t nodes = 0;
  // Every ID of the shared walk up to here has an answer; its first ID and end (when known).
  std::int64_t place = 0;
  std::int64_t first = 0;
  std::optional<std::int64_t> end;
  // Shop IDs answered a second by all its nodes together, as each measured last.
  double rate = 0;
  // Failed shops waiting for another round of retries.
  std::size_t failed = 0;
};

// What a walk looks like at one moment: the engine's figures of the run, and what the command
// line knows besides.
struct WalkFigures : RunFigures {
  // The shared walk's figures, when the walk is shared.
  std::optional<ClusterFigures> cluster;
  // While the store cannot write: the rows it holds unwritten.
  std::optional<std::uint64_t> storeUnwritten;
  // While following: how long ago the newest shop was first seen (nothing: not known).
  std::optional<Clock::Duration> newestAge;
};

class WalkView : public CollectorUi {
 public:
  // `startAfter`: the shop-ID field's text before the walk.
  explicit WalkView(std::string startAfter, std::string threadCount);

  // Called with each row as it is appended (in list order), e.g. to write it out.
  void OnRow(std::function<void(const ShopRecord&)> listener);

  std::string ShopIdText() override;
  void SetShopIdText(std::string_view text) override;
  std::string ThreadCountText() override;
  void SetThreadCountText(std::string_view text) override;
  void FreezeRunControls() override;
  void ShowCollecting(std::string_view shopUrl) override;
  void AddRow(const ShopRecord& record) override;
  void ShowPaused(PauseReason reason, std::chrono::seconds nextTry, bool probeOut) override;
  void ShowRetryCounts(std::size_t waiting, std::size_t failed, std::size_t toRevisit) override;

  // The engine's figures `run` with the shared walk's figures and the store's trouble.
  WalkFigures Figures(const RunFigures& run);
  // The shared walk's figures for the display (from another thread, now and then).
  void SetCluster(const ClusterFigures& cluster);
  // The store cannot write and holds `unwrittenRows` rows; nothing: it writes again.
  void SetStoreTrouble(std::optional<std::uint64_t> unwrittenRows);

 private:
  std::mutex mutex_;
  std::string shopId_;
  std::string threadCount_;
  std::optional<ClusterFigures> cluster_;
  std::optional<std::uint64_t> storeUnwritten_;
  std::function<void(const ShopRecord&)> onRow_;
};

}  // namespace shopwalk
