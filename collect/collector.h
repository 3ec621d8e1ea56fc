// The collection engine: Start, Stop and the thread-count spin of the collector window, the
// dispatcher that walks shop IDs upward through the shop-ID field, the task that collects one
// shop, and the stop sequence. It drives the window only through CollectorUi, so it runs the
// same against the real window and headless.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "collect/collector_ui.h"
#include "collect/progress.h"
#include "collect/run_state.h"

namespace shopwalk {

class Collector {
 public:
  explicit Collector(CollectorUi& ui);
  // Ends the run for good (as ShutDownForExit) and waits for the dispatcher and every worker, so
  // nothing still uses this object afterwards.
  ~Collector();
  Collector(const Collector&) = delete;
  Collector& operator=(const Collector&) = delete;

  // Window events.
  // Begins a run with the thread count of the window; ignored while a dispatcher is running.
  void OnStartClicked();
  // Asks the run to stop: the next task that starts runs the stop sequence.
  void OnStopClicked();
  // Up (+1) or down (any other value) on the thread-count field.
  void OnThreadCountSpin(int direction);

  // The dispatch loop (runs on the dispatcher thread): one shop ID per pass, ten passes a second.
  void DispatchShopIds();
  // Collects one shop (runs on a pool worker): at most one row in the result list.
  void CollectShop(std::int32_t shopId);
  // The stop sequence: stops the pool, ends the dispatcher (once), deletes the result lock and
  // freezes Start, Stop and the shop-ID field. Harmless to run again, from several workers.
  void ShutDownRun();

  // The window is closing: deletes the result lock and stops the pool without waiting, so the
  // run winds down while the window asks its closing question. Tasks already past their stop
  // check finish.
  void OnWindowClosing();

  // The run state, for the window's diagnostics and for tests that look inside a run.
  RunState& Run() { return run_; }

  // The shop-ID text to save as the walk's place: the field's text, or, when the run moved past
  // shops it did not finish, one less than the lowest of them.
  std::string ProgressText();
  const ProgressTracker& Progress() const { return progress_; }

  // For the program's end: refuses further work, ends the dispatcher, aborts transfers in flight
  // and waits up to `timeout` for the workers to leave. True when everything has ended.
  bool ShutDownForExit(std::chrono::milliseconds timeout);

  // How often the dispatcher submits (100 ms). 0 runs flat out.
  void SetPace(std::chrono::milliseconds pace) { paceMs_ = static_cast<int>(pace.count()); }

 private:
  CollectorUi& ui_;
  RunState run_;
  ProgressTracker progress_;
  std::atomic<bool> exiting_{false};
  std::atomic<int> paceMs_{100};
};

}  // namespace shopwalk
