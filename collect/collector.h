// The collection engine: Start, Stop and the thread-count spin of the collector window, the
// dispatcher that walks shop IDs upward through the shop-ID field, the task that collects one
// shop, and the stop sequence. It drives the window only through CollectorUi, so it runs the
// same against the real window and headless.
//
// A shop is finished only when the marketplace answered for it. A shop whose pages were not
// answered (an outage, a rate limit, a server error) waits without holding a worker and is tried
// again after a back-off, or after the pause the server asked for; after its last try it is
// failed for good, with the reason. When failures dominate, the walk pauses: the shop-ID field
// stops, and one probe at a time goes out until the marketplace answers again. A probe's failure
// is the marketplace's, not its shop's: it uses none of the shop's tries (unless the walk has no
// other shop left to ask). Waiting shops stay unfinished for the walk's place; failed ones too,
// unless a result sink keeps them on record.
//
// With a result sink every row, every answer without a row, every failure and the walk's place
// are reported to it as they happen, and a Start first tries again the failed shops it has on
// record (oldest first) before it walks on.
//
// The engine policy (collect/engine_policy.h) decides whether tasks make their own web clients
// or keep one per worker, whether rating fetches take turns under the result lock, and how many
// requests may be at the marketplace at once; the rest of the engine's behaviour is the same
// under every policy.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <random>
#include <set>
#include <string>

#include "base/clock.h"
#include "collect/collector_ui.h"
#include "collect/engine_policy.h"
#include "collect/fetch_verdict.h"
#include "collect/field_walk.h"
#include "collect/follow_window.h"
#include "collect/markers.h"
#include "collect/marketplace_health.h"
#include "collect/page_match_guard.h"
#include "collect/page_sink.h"
#include "collect/progress.h"
#include "collect/queue_room.h"
#include "collect/request_slots.h"
#include "collect/result_sink.h"
#include "collect/retry_policy.h"
#include "collect/run_display.h"
#include "collect/run_figures.h"
#include "collect/run_state.h"
#include "collect/waiting_shops.h"
#include "collect/work_source.h"
#include "net/body_buffer.h"

namespace shopwalk {

class HttpClient;
class Pacer;

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

  // The dispatch loop (runs on the dispatcher thread): ten passes a second, each handing out at
  // most one new shop ID: failed shops on record first, then due retries and probes, then the
  // next ID of the walk's source (the work source, or else the shop-ID field).
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
  // The run's figures now, as the window shows them; from any thread.
  RunFigures Figures();

  // For the program's end: refuses further work (tasks not started yet leave their shops
  // unfinished), ends the dispatcher, lets the transfers in flight finish for `grace` (0: aborts
  // them at once), then aborts them and waits up to `timeout` in all for the workers to leave.
  // True when everything has ended.
  bool ShutDownForExit(std::chrono::milliseconds timeout,
                       std::chrono::milliseconds grace = std::chrono::milliseconds(0));

  // The clock of every wait of the engine: the pace, back-off, pauses and probes, Retry-After
  // holds, the shut-down's deadlines (the real clock unless set). Set before Start; it must
  // outlive the collector. The web client's own time limits stay the real clock's.
  void SetClock(Clock& clock);
  Clock& TimeSource() const { return *clock_; }

  // How often the dispatcher submits (100 ms). 0 runs flat out.
  void SetPace(std::chrono::milliseconds pace) { paceMs_ = static_cast<int>(pace.count()); }
  // The last shop ID the walk hands out (none: it goes on to the largest shop ID). Set before
  // Start. Once past it the walk hands out no new ID; it ends when no shop is left unanswered.
  void SetLastShopId(std::optional<std::int32_t> last) { fieldWalk_.SetLastShopId(last); }
  // Where the walk's shop IDs come from instead of the shop-ID field (a walk shared by several
  // machines). Set before Start; it must outlive the collector's work. With one, the field shows
  // the ID last handed out, and the failed shops to try again come from the source.
  void SetWorkSource(WorkSource* source) { source_ = source; }

  // Follow the top instead of walking to an end (nothing: walk as set): the walk's IDs come from a
  // follow window (collect/follow_window.h) above the place, the walk never ends by itself, and
  // its place never passes the newest shop found. A work source set takes precedence. Set before
  // Start.
  void SetFollow(std::optional<FollowSettings> settings) { followSettings_ = settings; }

  // Shops the list holds already, above the place a walk goes on from (an interrupted run whose
  // later shops were answered before earlier ones): the walk hands them out without collecting
  // them again. Set before Start.
  void SetAlreadyListed(std::set<std::int32_t> shopIds);
  // Whether the dispatcher of the last Start has ended by itself (the walk reached its end and
  // every shop was answered or given up).
  bool WalkEnded() const { return walkEnded_.load(); }
  // Called on the dispatcher's thread as the walk ends by itself (when WalkEnded turns true), so
  // a host waiting for the end need not ask again and again. Set before Start.
  void OnWalkEnded(std::function<void()> listener) { onWalkEnded_ = std::move(listener); }
  // Tries, back-off and outage thresholds; set before Start.
  void SetRetryPolicy(const RetryPolicy& policy);
  const RetryPolicy& Policy() const { return policy_; }

  // Web clients, the result lock and the limit of requests at once; set before Start (the
  // defaults are the window's).
  void SetEnginePolicy(const EnginePolicy& policy);
  const EnginePolicy& Engine() const { return engine_; }

  // Where rows, answers, failures and the place are kept (none: the list alone). Set before
  // Start; the sink must outlive the collector's work. Takes the sink's failed shops as the
  // failed count shown.
  void SetResultSink(ResultSink* sink);

  // Where every answered home and rating page goes, bytes as the marketplace sent them (none: no
  // page is kept). Set before Start; the sink must outlive the collector's work.
  void SetPageSink(PageSink* sink) { pageSink_ = sink; }

  // The page-match guard's thresholds (window 0: no guard); set before Start. Each Start judges
  // the run's pages afresh against the result sink's history (ResultSink::PageHistory). When the
  // guard trips, the walk holds: no new shop is handed out until Stop, answers that are not to be
  // trusted are marked to revisit (ResultSink::ToRevisit) and do not move the walk's place, and
  // the pause shows PauseReason::PagesDoNotMatch.
  void SetPageMatchLimits(const PageMatchLimits& limits) { pageLimits_ = limits; }
  // Which share tripped the guard in this run (None: the pages match).
  PageMismatch PagesMismatch() const { return pageGuard_.Tripped(); }
  // Called once on the dispatcher's thread when the walk holds on the guard and no task is under
  // way any more (a host that exits on it need not wait for more). Set before Start.
  void OnPagesMismatch(std::function<void(PageMismatch)> listener) {
    onPagesMismatch_ = std::move(listener);
  }
  // The markers the fields are cut with and the pages' encoding (the built-in ones unless set).
  // Set before Start.
  void SetMarkers(Markers markers) { markers_ = std::move(markers); }
  const Markers& MarkersInUse() const { return markers_; }

  // Rows appended with a field cut to MaxFieldBytes (its page held a longer text), since the
  // collector was made.
  std::uint64_t RowsWithCutFields() const { return rowsWithCutFields_.load(); }

  // Shops handed to the pool whose task has not ended yet: queued or running. For a driver of a
  // test's clock, which lets time pass only while no task is under way, as if the marketplace
  // answered at once.
  int TasksUnderWay() const { return tasksUnderWay_.load(); }

  // Shops waiting for their next try and shops failed for good in this run.
  const WaitingShops& Waiting() const { return waiting_; }
  const MarketplaceHealth& Health() const { return health_; }

 private:
  // What a dispatched task carries besides the shop ID: the tries made so far, and whether it is
  // the probe of an outage. Packed into the pool task's second parameter.
  struct Ticket {
    int attempts = 0;
    bool probe = false;
    // A shop the result sink has on record as failed: tried again, it does not move the place.
    bool recorded = false;
    // A probe whose failure uses a try of its shop after all: the walk has no new shop to hand
    // out and every waiting shop has had its turn as the probe, so a walk whose last shops never
    // answer still ends.
    bool probeUsesTry = false;
    // An ID the walk asked before (WorkSource::Next::again): the page-match guard keeps its
    // answer out of its window.
    bool again = false;
    std::int32_t Pack() const;
    static Ticket Unpack(std::int32_t packed);
  };

  // Collects the shop with its ticket, and the outage's probe when it is the probe (the probe
  // goes back when the task ends without reporting it); CollectShop is the first try of a new
  // shop.
  void TryShop(std::int32_t shopId, Ticket ticket, MarketplaceHealth::Probe probe);
  // One page of the shop's task: a turn at the marketplace, the fetch with the task's `client`
  // (none: it could not be made), and what the marketplace's health learns of it. The page when
  // the marketplace answered (an error page reads as empty); nothing when the shop's try ended
  // here, and then the shop is dealt with already: left unfinished, put back, waiting for its
  // next try or failed for good.
  std::optional<net::ResponseBody> FetchPage(HttpClient* client, const std::string& url,
                                             std::int32_t shopId, Ticket ticket,
                                             MarketplaceHealth::Probe& probe,
                                             MarketplaceHealth::Host host);
  // The shop's try did not get an answer: it waits for its next try, or fails for good after
  // the last one. A probe's failure sets when the next probe goes.
  void TryAgainLater(std::int32_t shopId, Ticket ticket, const FetchVerdict& verdict,
                     MarketplaceHealth::Probe& probe);
  // The shop is put back to wait without a try being counted (the walk is paused or held).
  void PutBack(std::int32_t shopId, Ticket ticket, Clock::TimePoint due);
  void FailForGood(std::int32_t shopId, Ticket ticket, int attempts, const std::string& reason);
  // The shop got its answer: a row (appended already), no shop, or no fields.
  void Finish(std::int32_t shopId, Ticket ticket, std::optional<ShopOutcome> withoutRow);
  // The shop's home page was read as `answer` (for a row, appended already, `ratingEmpty`: its
  // rating page gave neither date nor reputation): the guard judges it, and the shop is
  // finished, or marked to revisit when its answer is not to be trusted.
  void Conclude(std::int32_t shopId, Ticket ticket, HomeAnswer answer, bool ratingEmpty = false);
  // The shop's answer is not to be trusted: marked to revisit, and the place stays before it.
  void Revisit(std::int32_t shopId, Ticket ticket);
  // Tells the sink the shop is to be asked again and counts it among the run's marks.
  void MarkToRevisit(std::int32_t shopId);
  // The shop will not be collected in this run (stop, closing, refused submission).
  void Abandon(std::int32_t shopId, Ticket ticket);
  // Whether this run follows the top.
  bool Following() const { return followSettings_.has_value() && source_ == nullptr; }
  // While following: the answer of `shopId` (`withoutRow`: none for a row) goes to the follow
  // window, and the answers it makes final are reported, before any place that covers them.
  void FollowAnswer(std::int32_t shopId, std::optional<ShopOutcome> withoutRow);
  // While following, `shopId` got no answer in its sweep.
  void FollowUnanswered(std::int32_t shopId);
  // The text the place is computed from: the field's, or while following the newest shop's.
  std::string PlaceCursor(const std::string& cursorText);
  // Appends the row to the list and reports it, in list order.
  void AppendRow(const ShopRecord& record);
  // Reports the walk's place when it moved; `cursorText` is the shop-ID field's text last read
  // (kept for the last report, at the end of the run).
  void ReportPlace(const std::string& cursorText);
  // A fetch from `host` was answered or failed: the marketplace's health learns of it.
  void Learn(const FetchVerdict& verdict, Ticket ticket, MarketplaceHealth::Host host);
  // Whether a task may send a request now.
  bool MaySend(Ticket ticket) const;
  void ShowRetryCounts();
  // Dispatcher steps.
  // How a dispatcher pass ended, which says how the next one comes: after a pass's wait (for the
  // pool's queue to have room, flat out) when it handed out a shop, after a short while when it
  // had nothing to hand out, at once, or never (the dispatcher ends).
  enum class PassEnd { HandedOut, Idle, AtOnce, Over };
  // The dispatcher's walk: where its IDs come from, the shop-ID text last handed out (kept for
  // the place), and whether the source has no more IDs (the walk then goes on trying the shops
  // that wait until none is left).
  struct Walk {
    WorkSource& source;
    std::string cursorText;
    bool ended = false;
  };
  // One pass: the pause, due retries and failed shops on record first, then the walk's end, the
  // pool's queue and the store's hold, and then the next ID from the walk's source.
  PassEnd DispatchPass(Walk& walk);
  // Takes the next ID from the walk's source and hands it out, with the outage's probe if any.
  PassEnd HandOutNext(Walk& walk, MarketplaceHealth::Probe probe);
  // The source has no more IDs: the walk ends once no shop handed out is unanswered.
  PassEnd WhileEnding(const Walk& walk);
  // One pass while the walk holds on the page-match guard: nothing is handed out.
  PassEnd WhileMismatched(const Walk& walk);
  // Runs the stop sequence when Stop was clicked; whether it did.
  bool StopIfAsked();
  // Whether the results store holds the walk (it cannot keep up).
  bool StoreBehind() const;
  // Queues the shop's task; with a probe, the task is the outage's probe. False when the pool
  // refused it (a probe goes back then).
  bool Submit(std::int32_t shopId, Ticket ticket, MarketplaceHealth::Probe probe = {});
  // A submitted task left the pool's queue (it started, or it was refused).
  void TaskStarted();
  // A submitted task has ended (or was refused).
  void TaskEnded() { --tasksUnderWay_; }
  // Waits for the dispatcher's next pass: one pace period after the last; flat out (pace 0), until
  // the pool's queue has room for another shop (a short while at most), or a short while when
  // this pass handed out nothing. False when the dispatcher is to end.
  bool NextPass(Pacer& pacer, bool handedOut);
  // Flat out, whether the pool's queue holds a shop for every worker already (never at a pace).
  bool QueueFull();
  void SubmitDueRetry(Clock::TimePoint now);
  // Submits the next failed shop on record; false when none is left.
  bool SubmitRecordedFailure();
  // One dispatcher pass while the walk is paused: sends the probe when it is due and shows the
  // pause. Returns the probe when it is to go with the next new shop (every waiting shop has
  // had its turn in this round); `walkEnded`: the walk hands out no new shop any more.
  MarketplaceHealth::Probe WhilePaused(MarketplaceHealth::State state, Clock::TimePoint now,
                                       bool walkEnded);
  // Shows that the results store holds the walk.
  void ShowStoreBehind();
  // The probe's task has started: the pause shows that a probe is out (if the outage lasts).
  void ShowProbeOut();
  // A row was added while a pause is shown (a task that was under way as it began): the pause
  // is shown again, if it lasts.
  void ShowPauseAgain();

  CollectorUi& ui_;
  Clock* clock_ = &RealClock();
  RunState run_;
  ProgressTracker progress_;
  RetryPolicy policy_;
  EnginePolicy engine_;
  // Turns for requests to the marketplace, as many as engine_.maxConcurrentRequests.
  RequestSlots requestSlots_;
  ResultSink* sink_ = nullptr;
  PageSink* pageSink_ = nullptr;
  WorkSource* source_ = nullptr;
  // Keeps the list's order and the sink's order of rows the same.
  std::mutex rowOrderMutex_;
  // Failed shops on record still to be tried at Start, oldest first.
  std::mutex recordedMutex_;
  std::deque<FailedShop> recordedToTry_;
  // Failed shops: on record and of this run, until answered.
  std::mutex failedMutex_;
  std::set<std::int32_t> failedIds_;
  // Shops this run marked to revisit (under failedMutex_).
  std::set<std::int32_t> revisitIds_;
  // Held while a shop's answer is judged by the page-match guard and reported (Conclude).
  std::mutex concludeMutex_;
  std::mutex placeMutex_;
  std::string reportedPlace_;
  std::optional<std::string> cursorText_;
  WaitingShops waiting_;
  MarketplaceHealth health_;
  std::mutex randomMutex_;
  std::mt19937_64 random_{std::random_device{}()};
  // What the window shows of the run, each thing only when it changed.
  RunDisplay display_{ui_};
  std::atomic<bool> exiting_{false};
  // Dispatcher threads whose routine has not yet returned. A stopped run closes the dispatcher's
  // handle while the thread may still be on its way out, so its end is counted here: the
  // collector outlives every dispatcher only by waiting for this to reach zero.
  std::mutex dispatchersMutex_;
  std::condition_variable dispatcherLeft_;
  int dispatchersRunning_ = 0;
  // The walk through the shop-ID field: where the walk's IDs come from without a work source.
  FieldWalk fieldWalk_{ui_};
  // Following the top: its settings, the shops to pass by (SetAlreadyListed), and the window.
  std::optional<FollowSettings> followSettings_;
  std::set<std::int32_t> followListed_;
  FollowWindow follow_;
  std::atomic<bool> walkEnded_{false};
  std::atomic<bool> stopped_{false};
  std::atomic<std::size_t> rows_{0};
  std::atomic<std::uint64_t> rowsWithCutFields_{0};
  Markers markers_ = GetMarkers();
  // The shop IDs handed out: the last, the first, how many (RunFigures).
  struct HandedOut {
    std::int32_t cursor = 0;
    std::int32_t first = 0;
    std::int64_t count = 0;
  };
  std::mutex handedOutMutex_;
  HandedOut handedOut_;
  // The dispatcher's own: the outage whose probes take turns, and the waiting shops that have
  // been the probe in the current round of turns.
  int probeRoundOutage_ = 0;
  std::set<std::int32_t> probedThisRound_;
  std::function<void()> onWalkEnded_;
  PageMatchLimits pageLimits_;
  PageMatchGuard pageGuard_;
  std::function<void(PageMismatch)> onPagesMismatch_;
  // The dispatcher's own: whether onPagesMismatch_ was called in this run.
  bool mismatchTold_ = false;
  std::atomic<int> paceMs_{100};
  // Tasks submitted to the pool and not yet started, and how many may wait there when the walk
  // goes flat out (one per worker).
  QueueRoom queueRoom_;
  std::atomic<int> tasksUnderWay_{0};
};

}  // namespace shopwalk
