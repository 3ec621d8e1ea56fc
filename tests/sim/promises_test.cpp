// The judge of the simulator: a walk that keeps its promises passes, and each kind of broken
// promise in what a walk left is named. If the judge missed one, no seed could ever show it.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "collect/text.h"
#include "tests/sim/marketplace_truth.h"
#include "tests/sim/promises.h"
#include "tests/support/manual_clock.h"
#include "tests/support/shop_pages.h"

namespace shopwalk::sim {
namespace {

using std::chrono::seconds;

constexpr std::uint64_t Seed = 7;
constexpr std::int32_t First = 5000;
constexpr std::int32_t Last = 5019;

test::RecordedRequest Request(const std::string& host, const std::string& path, Clock::TimePoint at,
                              int status = 200) {
  test::RecordedRequest request;
  request.method = "GET";
  request.host = host;
  request.path = path;
  request.at = at;
  request.answerStatus = status;
  request.answeredIn = std::chrono::milliseconds(1);
  return request;
}

// A walk of one node that kept every promise: each ID asked for once, a second apart, and its
// answer durable, the place at the last ID.
class JudgeTest : public ::testing::Test {
 protected:
  JudgeTest() : truth(Seed) {
    Schedule& schedule = evidence.schedule;
    schedule.seed = Seed;
    schedule.first = First;
    schedule.last = Last;
    schedule.threads = 2;
    schedule.rate = 1;
    evidence.start = test::ManualClock::Start;
    evidence.calendarStart = Clock::CalendarTime(test::ManualClock::DefaultCalendarStart);
    evidence.coarsestStep = seconds(1);
    evidence.receiveLimit = std::chrono::milliseconds(250);
    StoreSnapshot& store = evidence.final;
    StoreSnapshot::Run run;
    run.id = 1;
    run.kind = 2;
    run.cleanEnd = true;
    run.place = NumberToText(Last);
    run.openedSeq = 1;
    auto& log = evidence.requests.emplace_back();
    for (std::int32_t id = First; id <= Last; ++id) {
      const Clock::TimePoint at = Time(id - First);
      log.push_back(Request(pages::ShopHost(id), "/", at));
      switch (truth.ExpectedAt(id)) {
        case Expected::Row:
          log.push_back(Request(pages::RatingHost(), pages::RatingPath(*truth.ShopAt(id)), at));
          store.rows[id] = truth.RowAt(id, -1);
          run.rows.push_back(id);
          break;
        case Expected::NoShop:
          store.answers[id] = 1;
          break;
        case Expected::NoFields:
          store.answers[id] = 2;
          break;
      }
    }
    store.runs.push_back(run);
    Life life;
    life.started = evidence.start;
    life.ended = Time(Last - First + 1);
    life.endRequest = log.size();
    life.store = store;
    life.lastHandedOut = Time(Last - First);
    evidence.lives.push_back(life);
    evidence.finished = true;
  }

  Clock::TimePoint Time(std::int64_t secondsIn) const {
    return evidence.start + seconds(secondsIn);
  }
  // A shop ID of the walk that makes a row.
  std::int32_t AShop() const {
    for (std::int32_t id = First; id <= Last; ++id) {
      if (truth.ExpectedAt(id) == Expected::Row) return id;
    }
    return 0;
  }
  // Whether a broken promise names `words`.
  bool Names(const std::string& words) const {
    const std::vector<std::string> broken = BrokenPromises(evidence);
    return std::any_of(broken.begin(), broken.end(), [&](const std::string& line) {
      return line.find(words) != std::string::npos;
    });
  }

  const MarketplaceTruth truth;
  Evidence evidence;
};

TEST_F(JudgeTest, AWalkThatKeptItsPromisesPasses) {
  ASSERT_NE(AShop(), 0);
  EXPECT_EQ(BrokenPromises(evidence), std::vector<std::string>{});
}

TEST_F(JudgeTest, ThePlaceAtAKillPastAnIdWithoutOutcomeIsNamed) {
  Life killed = evidence.lives.front();
  killed.killed = true;
  killed.store.runs.front().place = NumberToText(First + 6);
  killed.store.rows.erase(AShop());
  killed.store.answers.erase(AShop());
  killed.store.answers.erase(First + 3);
  killed.store.rows.erase(First + 3);
  evidence.lives.insert(evidence.lives.begin(), killed);
  EXPECT_TRUE(Names("passes ID"));
}

TEST_F(JudgeTest, RowsListedTwiceLostOrWrongAreNamed) {
  evidence.final.runs.front().rows.push_back(AShop());
  EXPECT_TRUE(Names("second row"));

  evidence.final.runs.front().rows.pop_back();
  evidence.final.rows[AShop()].messenger = "someone else";
  EXPECT_TRUE(Names("differs from its pages"));

  evidence.final.rows.erase(AShop());
  EXPECT_TRUE(Names("instead of its row"));
}

TEST_F(JudgeTest, AShopAskedAgainAfterItsAnswerIsNamedUnlessARestartLeftItUnanswered) {
  const std::int32_t shop = AShop();
  auto& log = evidence.requests.front();
  log.push_back(Request(pages::ShopHost(shop), "/", Time(30)));
  evidence.lives.front().endRequest = log.size();
  EXPECT_TRUE(Names("asked for again"));

  // Killed before the answer was durable: asking again is the walk going on.
  Life killed = evidence.lives.front();
  killed.killed = true;
  killed.endRequest = log.size() - 1;
  killed.ended = Time(29);
  killed.store.rows.erase(shop);
  killed.store.runs.front().place = NumberToText(shop - 1);
  Life after = evidence.lives.front();
  after.firstRequest = log.size() - 1;
  after.started = Time(29);
  evidence.lives = {killed, after};
  EXPECT_FALSE(Names("asked for again"));
}

TEST_F(JudgeTest, ARequestInsideARetryAfterPauseIsNamed) {
  auto& log = evidence.requests.front();
  log[1].answerStatus = 429;
  log[1].retryAfter = "30";
  for (std::size_t i = 2; i < log.size(); ++i) log[i].at = *log[i].at + seconds(40);
  EXPECT_FALSE(Names("inside the Retry-After"));
  log[2].at = *log[1].at + seconds(29);
  EXPECT_TRUE(Names("inside the Retry-After"));

  // A date counts from the marketplace's calendar as it answered.
  log[1].retryAfter = "Mon, 01 Jan 2024 00:00:10 GMT";
  log[2].at = evidence.start + seconds(9);
  EXPECT_TRUE(Names("inside the Retry-After"));
  log[2].at = evidence.start + seconds(11);
  EXPECT_FALSE(Names("inside the Retry-After"));
}

TEST_F(JudgeTest, AShopFailedDuringAnOutageWithIdsLeftIsNamed) {
  Fault outage;
  outage.kind = FaultKind::Reset;
  evidence.schedule.faults.push_back(outage);
  evidence.windows.push_back(FaultPlan::Window{Time(3), Time(8)});
  const std::int32_t shop = AShop();
  evidence.final.rows.erase(shop);
  evidence.final.failed[shop] =
      StoreSnapshot::Failure{6, "reset", UnixMs(evidence.calendarStart) + 5000};
  // Its last request failed.
  for (test::RecordedRequest& request : evidence.requests.front()) {
    if (request.host == pages::ShopHost(shop))
      request.answer = test::Misbehaviour::ResetBeforeAnswer;
  }
  EXPECT_TRUE(Names("during #0"));

  // Once the walk has handed out its last ID, its last shops may fail.
  evidence.lives.front().lastHandedOut = Time(4);
  EXPECT_FALSE(Names("during #0"));
}

TEST_F(JudgeTest, AWalkPausedPastAProbeIntervalAfterAnOutageIsNamed) {
  Fault outage;
  outage.kind = FaultKind::ServerError;
  evidence.schedule.faults.push_back(outage);
  evidence.windows.push_back(FaultPlan::Window{Time(2), Time(4)});
  // Nothing asked from the outage's end until long after.
  auto& log = evidence.requests.front();
  for (test::RecordedRequest& request : log) {
    if (*request.at >= Time(4)) request.at = *request.at + seconds(120);
  }
  evidence.lives.front().ended = *log.back().at + seconds(1);
  EXPECT_TRUE(Names("asked nothing until"));
}

TEST_F(JudgeTest, DescriptorsAndMemoryBeyondTheirBoundsAreNamed) {
  evidence.peakDescriptors = DescriptorsPerWorker * evidence.schedule.threads + 33;
  EXPECT_TRUE(Names("descriptors open"));
  evidence.peakResidentBytes = MostResidentBytes;
  EXPECT_TRUE(Names("peak memory"));
}

TEST_F(JudgeTest, ASharedRowWrittenByANodeWithoutTheLeaseIsNamed) {
  evidence.schedule.shared = true;
  evidence.final.sharedPlace = Last;
  evidence.sharedLog.rowWrites.push_back(SharedWalkLog::RowWrite{AShop(), 0, 0, false, false});
  evidence.sharedLog.rowWrites.push_back(SharedWalkLog::RowWrite{AShop(), 1, 0, true, true});
  EXPECT_FALSE(Names("while node"));
  evidence.sharedLog.rowWrites.push_back(SharedWalkLog::RowWrite{AShop(), 1, 0, false, false});
  EXPECT_TRUE(Names("wrote the row of shop"));
}

TEST_F(JudgeTest, AnAnswerKeptAsFinalUnderAPageChangeIsNamedUnlessALaterLifeAsksAgain) {
  std::int32_t shop = 0;
  for (std::int32_t id = First + 5; id < First + 10 && shop == 0; ++id) {
    if (truth.ExpectedAt(id) == Expected::Row) shop = id;
  }
  ASSERT_NE(shop, 0) << "seed " << Seed << " has no shop from ID " << First + 5;
  Fault change;
  change.kind = FaultKind::PageChange;
  change.page = pages::PageChange{pages::PageChange::Kind::Layout, First + 5};
  evidence.schedule.faults.push_back(change);
  evidence.windows.push_back(FaultPlan::Window{Time(0), std::nullopt});
  EXPECT_TRUE(Names("the page-match guard never held it"));

  // The first life held at ID First + 10 with the shop answered "no fields" and not marked; the
  // next one walked on from there.
  evidence.windows.back().end = Time(10);
  auto& log = evidence.requests.front();
  const auto split = std::find_if(
      log.begin(), log.end(), [&](const test::RecordedRequest& r) { return *r.at >= Time(10); });
  Life held = evidence.lives.front();
  held.exitCode = 4;
  held.ended = Time(10);
  held.endRequest = static_cast<std::size_t>(split - log.begin());
  held.store.rows.erase(shop);
  held.store.answers[shop] = 2;
  Life after = evidence.lives.front();
  after.started = Time(10);
  after.firstRequest = held.endRequest;
  evidence.lives = {held, after};
  EXPECT_TRUE(Names("kept no fields as final"));

  // Marked, the next life asks it again (whatever the mark looks like in the store): kept.
  log.push_back(Request(pages::ShopHost(shop), "/", Time(25)));
  log.push_back(Request(pages::RatingHost(), pages::RatingPath(*truth.ShopAt(shop)), Time(25)));
  evidence.lives.back().endRequest = log.size();
  EXPECT_EQ(BrokenPromises(evidence), std::vector<std::string>{});
}

TEST_F(JudgeTest, FollowingTheTopListsEachOpeningAndNeverPassesTheNewestShop) {
  // A shop opens just above the top 30 s in; the walk lists it at 31 s and its place follows.
  const std::int32_t opened = Last + 1;
  FollowPlan follow;
  follow.window = 20;
  follow.everyMs = 1000;
  follow.endMs = 40'000;
  follow.events.push_back({ShopEvent::Kind::Open, opened, 30'000});
  evidence.schedule.follow = follow;
  const MarketplaceTruth live = evidence.schedule.Truth();
  ASSERT_EQ(live.ExpectedAt(opened), Expected::Row);
  ASSERT_EQ(live.ExpectedAt(opened, 29'999), Expected::NoShop);
  auto& log = evidence.requests.front();
  log.push_back(Request(pages::ShopHost(opened), "/", Time(31)));
  log.push_back(Request(pages::RatingHost(), pages::RatingPath(*live.ShopAt(opened)), Time(31)));
  Life& life = evidence.lives.front();
  life.endRequest = log.size();
  life.ended = Time(40);
  life.lastHandedOut.reset();
  for (StoreSnapshot* store : {&evidence.final, &life.store}) {
    store->rows[opened] = live.RowAt(opened, -1);
    store->runs.front().rows.push_back(opened);
    store->runs.front().place = NumberToText(opened);
  }
  EXPECT_EQ(BrokenPromises(evidence), std::vector<std::string>{});

  // Not listed: the walk ended short of it.
  evidence.final.rows.erase(opened);
  evidence.final.runs.front().place = NumberToText(Last);
  EXPECT_TRUE(Names("not at its last ID " + std::to_string(opened)));

  // Its ID answered "no shop" before it opened, kept as final.
  evidence.final.answers[opened] = 1;
  EXPECT_TRUE(Names("has \"no shop\" as its final answer"));

  // A life that ended before the opening with its place on the opening's ID.
  evidence.final.answers.erase(opened);
  Life early = life;
  early.ended = Time(20);
  early.store.rows.erase(opened);
  early.store.answers[opened] = 2;
  early.store.runs.front().place = NumberToText(opened);
  evidence.lives.insert(evidence.lives.begin(), early);
  EXPECT_TRUE(Names("past the newest shop there was, " +
                    std::to_string(live.NewestShopAt(20'000).value_or(0))));
}

TEST_F(JudgeTest, AFieldChangedBetweenLivesMustBeInTheHistoryAndChainToTheRow) {
  const std::int32_t shop = AShop();
  Life before = evidence.lives.front();
  before.killed = true;
  before.store.rows[shop].name = "an older name";
  evidence.lives.insert(evidence.lives.begin(), before);
  EXPECT_TRUE(Names("with no change on record"));

  StoreSnapshot::Change change{shop, 1, "an older name", evidence.final.rows[shop].name, 1};
  evidence.final.changes.push_back(change);
  EXPECT_FALSE(Names("with no change on record"));
  EXPECT_FALSE(Names("history"));

  // A change that leads nowhere the row is.
  evidence.final.changes.push_back({shop, 1, change.newValue, "a newer name", 1});
  EXPECT_TRUE(Names("is not what its row holds"));
  // A change whose old value is not the value before it.
  evidence.final.changes.back() = {shop, 1, "a third name", change.newValue, 1};
  EXPECT_TRUE(Names("does not chain"));
}

}  // namespace
}  // namespace shopwalk::sim
