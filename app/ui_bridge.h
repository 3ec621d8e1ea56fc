// Carries operations from any thread to the UI thread, one at a time and in call order. Run() and
// Call() wait until the operation has run; Post() queues it and returns at once. All three share
// one queue, so the operations of one thread run in the order it called them, and an operation a
// thread waits for runs after everything that thread posted before it (a read after a posted write
// sees the write). Calls still go through while the UI thread runs a nested event loop (a modal
// box or dialog). Close() ends it for good: callers still waiting are released at once, posted
// operations not yet started are dropped, and every later call returns at once without running
// anything, so no caller stays blocked once the window is being torn down and nothing reaches
// destroyed widgets.
//
// The queue is bounded: while `postLimit` posted operations wait, a thread posting another waits
// until the UI thread has started one of them (or the bridge closes). A UI thread that stalls
// (a long export, a box left open) therefore holds memory to a fixed amount, and holds writers
// no longer than waiting calls did before; in a normal run the limit is never reached.
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
  // How many posted operations may wait at once by default.
  static constexpr std::size_t DefaultPostLimit = 4096;

  explicit UiBridge(std::size_t postLimit = DefaultPostLimit);
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

  // Queues `operation` to run on the UI thread and returns without waiting for it (waiting only
  // while the queue is full, see above); on the UI thread itself it runs at once. The operation
  // must own everything it uses: it runs after the caller has returned. Returns false, and the
  // operation is dropped, when the bridge is closed first; an operation accepted here is still
  // dropped when the bridge closes before it has started.
  bool Post(std::function<void()> operation);

  // Releases every waiting caller, drops posted operations not yet started and refuses later
  // calls. Idempotent; call it on the UI thread.
  void Close();
  bool IsClosed() const;

  // Number of operations from other threads queued and not yet started, waited-for and posted.
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
