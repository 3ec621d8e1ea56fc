// What the engine shows of a run on its window, each thing only when it changed: the counts of
// shops waiting and failed, the pause (why, the seconds to the next try, whether a probe is out)
// and the shop a task is collecting, which a pause in view keeps out of view until the walk runs
// again. Keeps what it last showed, so the run's figures can say what the window shows. Safe from
// any thread; every call is shown in the order the display's lock was taken.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "collect/collector_ui.h"

namespace shopwalk {

class RunDisplay {
 public:
  struct Counts {
    std::size_t waiting = 0;
    std::size_t failed = 0;
    std::size_t toRevisit = 0;
    bool operator==(const Counts&) const = default;
  };
  struct Pause {
    PauseReason reason = PauseReason::Outage;
    std::chrono::seconds nextTry{0};
    // During an outage: a probe is out asking whether the marketplace is back.
    bool probeOut = false;
    bool operator==(const Pause&) const = default;
  };

  // `ui` must outlive the display.
  explicit RunDisplay(CollectorUi& ui) : ui_(ui) {}

  // Shows the counts `count` gives, unless they are in view already. `count` is asked under the
  // display's lock, so of two threads counting at once the later count is the one left in view.
  void ShowCounts(const std::function<Counts()>& count);
  // Shows the pause, unless it is in view already.
  void ShowPause(const Pause& pause);
  // Shows the pause in view once more, if there is one and `lasts` says it still holds (a row
  // was added under it, and the row's text replaced it).
  void ShowPauseAgain(const std::function<bool(PauseReason)>& lasts);
  // The walk runs again: a later pause is shown afresh, and tasks show their shops again.
  void Resume();
  // Shows the shop a task is collecting, unless a pause is in view.
  void ShowCollecting(const std::string& shopUrl);

  // What is in view: the counts (both 0 until shown) and the pause, none while the walk runs.
  Counts CountsShown() const;
  std::optional<Pause> PauseShown() const;

 private:
  CollectorUi& ui_;
  mutable std::mutex mutex_;
  Counts counts_;
  std::optional<Pause> pause_;
};

}  // namespace shopwalk
