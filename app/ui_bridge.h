// Carries operations from any thread to the UI thread, one at a time and in call order, while the
// caller waits. Calls still go through while the UI thread runs a nested event loop (a modal box
// or dialog). Close() ends it for good: callers still waiting are released at once and every later
// call returns at once without running anything, so no caller stays blocked once the window is
// being torn down and nothing reaches destroyed widgets.
//
// Create and destroy it on the UI thread; it must outlive every thread that calls it.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

namespace shopwalk {

class UiBridge {
 public:
  UiBridge();
  ~UiBridge();
  UiBridge(const UiBridge&) = delete;
  UiBridge& operator=(const UiBridge&) = delete;

  // Runs `operation` on the UI thread and returns once it has run; on the UI thread itself it runs
  // at once. Returns false, without running it, when the bridge is (or becomes) closed first.
  bool Run(const std::function<void()>& operation);

  // Run() for an operation with a result: returns `fallback` when it did not run.
  template <class F, class R = std::invoke_result_t<F&>>
  requires(!std::is_void_v<R>) R Call(F&& operation, R fallback = R{}) {
    R result = std::move(fallback);
    Run([&] { result = operation(); });
    return result;
  }

  // Releases every waiting caller and refuses later calls. Idempotent; call it on the UI thread.
  void Close();
  bool IsClosed() const;

  // Number of calls from other threads queued and not yet started.
  std::size_t PendingCount() const;

  // True on the thread the bridge was created on.
  bool OnUiThread() const;

 private:
  struct Shared;
  class Receiver;
  std::shared_ptr<Shared> shared_;
  Receiver* receiver_;
};

}  // namespace shopwalk
