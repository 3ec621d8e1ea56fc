// The figures of a run at one moment, as every front end shows them (the window's panes, the
// command line's status line and summary): one snapshot taken by the engine
// (Collector::Figures), so no front end counts for itself.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "base/clock.h"
#include "collect/collector_ui.h"

namespace shopwalk {

struct RunFigures {
  // The last shop ID handed out, the first one, and how many were handed out (a shared walk's
  // IDs come in blocks with gaps between them, failed shops come again, and shops the list held
  // already are passed by as they are handed out).
  std::int32_t cursor = 0;
  std::int32_t first = 0;
  std::int64_t handedOut = 0;
  // Whether any shop ID has been handed out yet.
  bool started = false;
  // Rows added to the list, and of them rows with a field cut to the longest a row keeps (the
  // page held a longer text).
  std::size_t rows = 0;
  std::uint64_t rowsWithCutFields = 0;
  // Shops waiting for their next try, and shops failed for good (on record and of this run), as
  // the window shows them.
  std::size_t waiting = 0;
  std::size_t failed = 0;
  // The pause the window shows, none while the walk runs; the seconds to the next try as shown
  // last; during an outage, whether a probe is out asking whether the marketplace is back.
  std::optional<PauseReason> paused;
  std::chrono::seconds nextTry{0};
  bool probeOut = false;
  // The stop sequence has run: the run is over for good.
  bool stopped = false;
  // The walk ended by itself: its source had no more IDs and every shop was answered or given up.
  bool walkEnded = false;
  // The shop-ID text to save as the walk's place now (Collector::ProgressText).
  std::string place;
  // While following the top (Collector::SetFollow): whether the top was found, the newest shop
  // known, when this run found it (nothing: before this run), and the follow window's top.
  struct Follow {
    bool topFound = false;
    std::int32_t newest = 0;
    std::optional<Clock::TimePoint> newestFound;
    std::int32_t windowTop = 0;
  };
  std::optional<Follow> follow;

  // Shop IDs handed out so far.
  std::int64_t Walked() const { return handedOut; }
};

}  // namespace shopwalk
