// What the collection engine needs of the window that shows a run: the two fields it reads and
// writes, the run controls it freezes, the result list it appends to and the progress it reports.
// The engine names each thing by what it means; how it is shown (which widget, which words) is
// the window's business. The Qt window implements it, and so does anything else that hosts the
// engine (a headless host, a test double), so the engine runs the same everywhere.
//
// Every operation may be called from any thread. Each is atomic with respect to the window, and
// the operations of one thread take effect in their order. Once the window is being torn down,
// operations return at once with the default result (empty text) and change nothing.
//
// Texts are GBK bytes, the code page of the engine's texts; the window gives back exactly the
// bytes it was given.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "collect/shop_record.h"

namespace shopwalk {

// Why the walk is paused.
enum class PauseReason {
  // The marketplace does not answer: one probe at a time goes out until it does.
  Outage,
  // The marketplace asked for a pause (Retry-After): nothing goes out until it is over.
  RateLimited,
  // The results store cannot keep up (its server out of reach): no new shop until it can.
  StoreBehind,
  // The marketplace's pages no longer match the markers (collect/page_match_guard.h): no new
  // shop until the run is stopped; `nextTry` is 0.
  PagesDoNotMatch,
};

class CollectorUi {
 public:
  virtual ~CollectorUi() = default;

  // The shop-ID field: before a run the ID after which the walk starts, during a run the ID most
  // recently handed out. The user may type into it at any time.
  virtual std::string ShopIdText() = 0;
  virtual void SetShopIdText(std::string_view text) = 0;

  // The thread-count field: the worker count of the next run.
  virtual std::string ThreadCountText() = 0;
  virtual void SetThreadCountText(std::string_view text) = 0;

  // The run has ended for good: Start and Stop can no longer be used and the shop-ID field is
  // hidden. Idempotent.
  virtual void FreezeRunControls() = 0;

  // A task has begun collecting the shop whose home page is `shopUrl`. Not reported while a pause
  // is shown (ShowPaused) and the walk has not run again.
  virtual void ShowCollecting(std::string_view shopUrl) = 0;

  // Appends `record` to the result list as one row, numbered by its 1-based position in the
  // list, and shows the shop as collected together with the list's new row count. Nobody sees
  // the row half written.
  virtual void AddRow(const ShopRecord& record) = 0;

  // The walk is paused for `reason`; the next try goes out in `nextTry` (rounded up to whole
  // seconds). `probeOut`: during an outage, a probe is out asking whether the marketplace is back
  // (the try is under way, `nextTry` is 0). Reported again as the time runs down, as a probe goes
  // out or comes back, and after a row is added during the pause; the next ShowCollecting ends
  // it, and none comes while the walk stays paused.
  virtual void ShowPaused(PauseReason reason, std::chrono::seconds nextTry, bool probeOut) {
    (void)reason;
    (void)nextTry;
    (void)probeOut;
  }

  // How many shops wait for their next try, how many failed for good and how many the run marked
  // to revisit (their pages stopped matching the markers: the next run asks them again first).
  // Reported whenever one changes; all 0 means no shop is in trouble.
  virtual void ShowRetryCounts(std::size_t waiting, std::size_t failed, std::size_t toRevisit) {
    (void)waiting;
    (void)failed;
    (void)toRevisit;
  }
};

}  // namespace shopwalk
