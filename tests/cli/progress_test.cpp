// How a walk shows its progress: the status line, the log line and the summary as composed, and
// the status line as a terminal receives it from the running program, redrawn in place.
#include "cli/progress_display.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/cli/cli_fixture.h"

namespace shopwalk::test {
namespace {

using std::chrono::seconds;

// When a log line is written: any calendar time (the stamp is local time).
Clock::CalendarTime Stamp() {
  return FromUnixSeconds(1'700'000'000);
}

// Half of the shop IDs 1000..1099 walked in 10 s, 12 shops found.
WalkFigures HalfWay() {
  WalkFigures figures;
  figures.started = true;
  figures.first = 1000;
  figures.cursor = 1049;
  figures.handedOut = 50;
  figures.rows = 12;
  return figures;
}

// The same node in a shared walk of 1000..10999 answered up to 3499 by three nodes.
WalkFigures Shared() {
  WalkFigures figures = HalfWay();
  ClusterFigures cluster;
  cluster.nodes = 3;
  cluster.first = 1000;
  cluster.end = 10999;
  cluster.place = 3499;
  cluster.rate = 29.75;
  cluster.failed = 2;
  figures.cluster = cluster;
  return figures;
}

TEST(ProgressLines, AWalkFromShopIdZeroCountsAndShowsItsBar) {
  WalkFigures figures;
  figures.started = true;  // only shop ID 0 handed out so far
  figures.handedOut = 1;
  EXPECT_EQ(figures.Walked(), 1);
  EXPECT_NE(StatusLine(figures, seconds(1), 9, 0).find("[##"), std::string::npos);
  EXPECT_EQ(WalkFigures{}.Walked(), 0);
}

TEST(ProgressLines, TheStatusLineShowsABarAndTheTimeLeftOnlyWhenTheEndIsKnown) {
  EXPECT_EQ(StatusLine(HalfWay(), seconds(10), 1099, 0),
            "walked 50 IDs  5.0 IDs/s  found 12  [##########..........] 50%  left 0:10  "
            "elapsed 0:10");
  EXPECT_EQ(StatusLine(HalfWay(), seconds(10), std::nullopt, 0),
            "walked 50 IDs  5.0 IDs/s  found 12  elapsed 0:10");
  // At the very start nothing is divided by zero and no time left is guessed.
  const std::string atStart = StatusLine(HalfWay(), seconds(0), 1099, 0);
  EXPECT_NE(atStart.find("0.0 IDs/s"), std::string::npos) << atStart;
  EXPECT_EQ(atStart.find("left"), std::string::npos) << atStart;
  EXPECT_EQ(StatusLine(WalkFigures{}, seconds(0), std::nullopt, 0),
            "walked 0 IDs  0.0 IDs/s  found 0  elapsed 0:00");
}

TEST(ProgressLines, TheStatusLineNamesRetriesAndPausesAndFitsTheTerminal) {
  WalkFigures figures = HalfWay();
  figures.waiting = 2;
  figures.failed = 1;
  figures.paused = PauseReason::Outage;
  figures.nextTry = seconds(30);
  const std::string line = StatusLine(figures, seconds(10), 1099, 0);
  EXPECT_NE(line.find("  waiting 2  failed 1  "), std::string::npos) << line;
  EXPECT_NE(line.find("paused (marketplace not answering), next try in 30 s"), std::string::npos)
      << line;
  // A probe out asking whether the marketplace is back.
  figures.nextTry = seconds(0);
  figures.probeOut = true;
  const std::string probing = StatusLine(figures, seconds(10), 1099, 0);
  EXPECT_NE(probing.find("paused (marketplace not answering), next try in 0 s (probing)"),
            std::string::npos)
      << probing;
  figures.paused = PauseReason::RateLimited;
  EXPECT_NE(StatusLine(figures, seconds(10), 1099, 0).find("paused (marketplace asked to wait)"),
            std::string::npos);
  // Cut to the width, never wrapped onto a second line.
  const std::string cut = StatusLine(figures, seconds(10), 1099, 30);
  EXPECT_EQ(cut, StatusLine(figures, seconds(10), 1099, 0).substr(0, 30));
}

TEST(ProgressLines, TheLogLineIsOnePlainLineOfNamedFigures) {
  const std::string line = LogLine(HalfWay(), seconds(10), 1099, Stamp());
  // A local time stamp "YYYY-MM-DD hh:mm:ss", then the figures.
  const std::string stampShape = "dddd-dd-dd dd:dd:dd ";
  ASSERT_GT(line.size(), stampShape.size()) << line;
  for (std::size_t i = 0; i < stampShape.size(); ++i) {
    const bool digit = line[i] >= '0' && line[i] <= '9';
    EXPECT_TRUE(stampShape[i] == 'd' ? digit : line[i] == stampShape[i]) << line;
  }
  EXPECT_EQ(line.substr(stampShape.size()),
            "walked=50 at=1049 rate=5.0/s found=12 waiting=0 failed=0 last=1099 elapsed=0:10")
      << line;
  WalkFigures paused = HalfWay();
  paused.paused = PauseReason::RateLimited;
  paused.nextTry = seconds(5);
  const std::string withoutEnd = LogLine(paused, seconds(10), std::nullopt, Stamp());
  EXPECT_EQ(withoutEnd.find("last="), std::string::npos) << withoutEnd;
  EXPECT_NE(withoutEnd.find(" paused (marketplace asked to wait), next try in 5 s elapsed=0:10"),
            std::string::npos)
      << withoutEnd;
}

TEST(ProgressLines, FollowingTheTopShowsTheNewestShopAndItsAgeOnceTheTopIsFound) {
  WalkFigures figures = HalfWay();
  figures.follow = RunFigures::Follow{false, 1040, std::nullopt, 1240};
  // Still walking up to the top: the line is a walk's.
  EXPECT_EQ(StatusLine(figures, seconds(10), std::nullopt, 0),
            StatusLine(HalfWay(), seconds(10), std::nullopt, 0));
  figures.follow->topFound = true;
  figures.newestAge = std::chrono::minutes(5) + seconds(59);
  const std::string line = StatusLine(figures, seconds(10), std::nullopt, 0);
  EXPECT_NE(line.find("found 12  following at ID 1049, newest shop 1040 first seen 5m ago  "),
            std::string::npos)
      << line;
  EXPECT_NE(LogLine(figures, seconds(10), std::nullopt, Stamp())
                .find(" following_at=1049 newest=1040 newest_age_s=359"),
            std::string::npos);
  // A newest shop whose first sighting is not known shows without an age.
  figures.newestAge.reset();
  EXPECT_NE(StatusLine(figures, seconds(10), std::nullopt, 0)
                .find("following at ID 1049, newest shop 1040  "),
            std::string::npos);
  EXPECT_EQ(AgoText(seconds(-3)), "0s");
  EXPECT_EQ(AgoText(seconds(59)), "59s");
  EXPECT_EQ(AgoText(std::chrono::hours(23) + std::chrono::minutes(59)), "23h");
  EXPECT_EQ(AgoText(std::chrono::hours(24 * 400)), "400d");
}

TEST(ProgressLines, AStoreThatCannotWriteShowsWhileItLastsEarlyInTheLine) {
  WalkFigures failing = HalfWay();
  failing.storeUnwritten = 7;
  failing.paused = PauseReason::StoreBehind;
  EXPECT_EQ(StatusLine(failing, seconds(10), std::nullopt, 0),
            "walked 50 IDs  5.0 IDs/s  found 12  STORE FAILING: 7 rows unsaved  paused (the "
            "results store cannot keep up)  elapsed 0:10");
  // A narrow terminal still shows it.
  EXPECT_NE(StatusLine(failing, seconds(10), 1099, 70).find("STORE FAILING: 7 rows unsaved"),
            std::string::npos);
  const std::string log = LogLine(failing, seconds(10), 1099, Stamp());
  EXPECT_NE(log.find(" last=1099 store_unsaved=7 paused "), std::string::npos) << log;
  failing.storeUnwritten = 0;
  EXPECT_NE(StatusLine(failing, seconds(10), 1099, 0).find("STORE FAILING: 0 rows unsaved"),
            std::string::npos);
}

TEST(ProgressLines, TheSummarySaysWhatWasWalkedAndHowTheWalkEnded) {
  EXPECT_EQ(SummaryLine(HalfWay(), seconds(10), "stopped by SIGINT"),
            "walked 50 shop IDs (1000 to 1049) in 0:10, 5.0 IDs/s; found 12 shops; 0 waiting, 0 "
            "failed for good; stopped by SIGINT");
  EXPECT_EQ(SummaryLine(WalkFigures{}, seconds(0), "finished"),
            "walked 0 shop IDs in 0:00, 0.0 IDs/s; found 0 shops; 0 waiting, 0 failed for good; "
            "finished");
  // Rows with a field cut to the longest a row keeps, only when there are any.
  WalkFigures cut = HalfWay();
  cut.rowsWithCutFields = 3;
  EXPECT_EQ(SummaryLine(cut, seconds(10), "finished"),
            "walked 50 shop IDs (1000 to 1049) in 0:10, 5.0 IDs/s; found 12 shops; 0 waiting, 0 "
            "failed for good; 3 rows with cut fields; finished");
  EXPECT_EQ(StatusLine(cut, seconds(10), std::nullopt, 0),
            "walked 50 IDs  5.0 IDs/s  found 12  3 rows with cut fields  elapsed 0:10");
  EXPECT_NE(LogLine(cut, seconds(10), std::nullopt, Stamp())
                .find(" found=12 waiting=0 failed=0 cut_rows=3 "),
            std::string::npos);
  cut.rowsWithCutFields = 1;
  EXPECT_NE(SummaryLine(cut, seconds(10), "finished").find("; 1 row with cut fields; "),
            std::string::npos);
  EXPECT_EQ(ClockText(seconds(0)), "0:00");
  EXPECT_EQ(ClockText(seconds(61)), "1:01");
  EXPECT_EQ(ClockText(seconds(3723)), "1:02:03");
  EXPECT_EQ(ClockText(seconds(360'000)), "100:00:00");
  EXPECT_EQ(ClockText(seconds(-5)), "0:00");
}

TEST(ProgressLines, ASharedWalkShowsTheClustersFiguresBesideTheNodesOwn) {
  const std::string status = StatusLine(Shared(), seconds(10), std::nullopt, 0);
  EXPECT_EQ(status,
            "walked 50 IDs  5.0 IDs/s  found 12  elapsed 0:10 | cluster: 3 nodes, 29.8 IDs/s, "
            "answered to 3499 (25%), 2 failed");
  EXPECT_NE(LogLine(Shared(), seconds(10), std::nullopt, Stamp())
                .find(" elapsed=0:10 nodes=3 shared_place=3499 shared_last=10999 shared_done=25% "
                      "shared_rate=29.8/s shared_failed=2"),
            std::string::npos);
  // A node's own IDs come in blocks: the summary gives no range of them, the cluster's instead.
  const std::string summary = SummaryLine(Shared(), seconds(10), "finished");
  EXPECT_EQ(summary.find("(1000 to 1049)"), std::string::npos) << summary;
  EXPECT_NE(summary.find("finished | cluster: 3 nodes"), std::string::npos) << summary;

  // Nothing answered yet, one node, no end: no share and no failures named.
  WalkFigures starting = Shared();
  starting.cluster->nodes = 1;
  starting.cluster->place = 999;
  starting.cluster->end.reset();
  starting.cluster->failed = 0;
  starting.cluster->rate = 0;
  EXPECT_NE(StatusLine(starting, seconds(1), std::nullopt, 0)
                .find(" | cluster: 1 node, 0.0 IDs/s, answered to 999"),
            std::string::npos);
  EXPECT_EQ(StatusLine(starting, seconds(1), std::nullopt, 0).find("failed"), std::string::npos);
  // An end below the first ID (nothing to walk) divides nothing by zero.
  starting.cluster->end = 999;
  EXPECT_EQ(StatusLine(starting, seconds(1), std::nullopt, 0).find('%'), std::string::npos);
}

TEST_F(CliTest, OnATerminalTheStatusLineIsRedrawnInPlaceAndClearedForTheSummary) {
  auto walk = StartCli({"walk", "--from", "20000", "--count", "30", "--rate", "10", "--db", db},
                       ChildProcess::ErrorOutput::Terminal);
  ASSERT_EQ(walk->Wait(Patience), 0) << walk->Errors();
  const std::string screen = walk->Errors();

  // Each redraw: back to the line's start, the line, then the rest of the old line erased.
  std::vector<std::string> drawn;
  for (std::size_t at = screen.find("\rwalked "); at != std::string::npos;
       at = screen.find("\rwalked ", at + 1)) {
    const std::size_t end = screen.find("\x1b[K", at);
    ASSERT_NE(end, std::string::npos) << screen;
    drawn.push_back(screen.substr(at + 1, end - at - 1));
  }
  ASSERT_GE(drawn.size(), 2u) << screen;
  bool barShown = false;
  for (const std::string& line : drawn) {
    SCOPED_TRACE(line);
    EXPECT_NE(line.find(" IDs/s  found "), std::string::npos);
    EXPECT_NE(line.find("  elapsed "), std::string::npos);
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos);
    // Narrower than the terminal's 200 columns, so it never wraps.
    EXPECT_LT(line.size(), 200u);
    barShown = barShown || (line.find("  [") != std::string::npos &&
                            line.find("%  left ") != std::string::npos);
  }
  EXPECT_TRUE(barShown) << screen;
  EXPECT_NE(screen.find("\r\x1b[Kwalked 30 shop IDs (20000 to 20029) in "), std::string::npos)
      << screen;
  EXPECT_NE(screen.find("; finished"), std::string::npos) << screen;
}

}  // namespace
}  // namespace shopwalk::test
