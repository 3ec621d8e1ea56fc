#include "cli/progress_display.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <ctime>

namespace shopwalk {
namespace {

using std::chrono::duration_cast;
using std::chrono::seconds;

constexpr auto TerminalInterval = std::chrono::milliseconds(250);
constexpr auto LogInterval = std::chrono::seconds(10);
constexpr std::size_t BarWidth = 20;

double Rate(const WalkFigures& figures, Clock::Duration elapsed) {
  const double secs = std::chrono::duration<double>(elapsed).count();
  return secs > 0 ? static_cast<double>(figures.Walked()) / secs : 0.0;
}

std::string PauseText(const WalkFigures& figures) {
  if (!figures.paused) return {};
  switch (*figures.paused) {
    case PauseReason::Outage:
      return "paused (marketplace not answering), next try in " +
             std::to_string(figures.nextTry.count()) + " s" +
             (figures.probeOut ? " (probing)" : "");
    case PauseReason::RateLimited:
      return "paused (marketplace asked to wait), next try in " +
             std::to_string(figures.nextTry.count()) + " s";
    case PauseReason::StoreBehind:
      return "paused (the results store cannot keep up)";
    case PauseReason::PagesDoNotMatch:
      return "held (pages no longer match the markers)";
  }
  return "paused";
}

std::string Format(const char* format, auto... values) {
  char buffer[256];
  std::snprintf(buffer, sizeof buffer, format, values...);
  return buffer;
}

// "3 rows with cut fields", or nothing while there are none.
std::string CutRowsText(const WalkFigures& figures) {
  if (figures.rowsWithCutFields == 0) return {};
  return Format("%" PRIu64 " %s with cut fields", figures.rowsWithCutFields,
                figures.rowsWithCutFields == 1 ? "row" : "rows");
}

// How much of a shared walk with a known end is answered, from 0 to 1.
std::optional<double> ClusterDone(const ClusterFigures& cluster) {
  if (!cluster.end || *cluster.end < cluster.first) return std::nullopt;
  const double total = static_cast<double>(*cluster.end - cluster.first + 1);
  return std::clamp(static_cast<double>(cluster.place - cluster.first + 1) / total, 0.0, 1.0);
}

// The shared walk's part of a status line or summary:
// " | cluster: 3 nodes, 29.8 IDs/s, answered to 109430000 (40%)".
std::string ClusterText(const WalkFigures& figures) {
  if (!figures.cluster) return {};
  const ClusterFigures& cluster = *figures.cluster;
  std::string text = " | cluster: " + std::to_string(cluster.nodes) +
                     (cluster.nodes == 1 ? " node" : " nodes") +
                     Format(", %.1f IDs/s, answered to %" PRId64, cluster.rate, cluster.place);
  if (const auto done = ClusterDone(cluster)) text += Format(" (%.0f%%)", *done * 100);
  if (cluster.failed > 0) text += ", " + std::to_string(cluster.failed) + " failed";
  return text;
}

// The same as named figures for the log line.
std::string ClusterFields(const WalkFigures& figures) {
  if (!figures.cluster) return {};
  const ClusterFigures& cluster = *figures.cluster;
  std::string text = Format(" nodes=%zu shared_place=%" PRId64, cluster.nodes, cluster.place);
  if (cluster.end) text += Format(" shared_last=%" PRId64, *cluster.end);
  if (const auto done = ClusterDone(cluster)) text += Format(" shared_done=%.0f%%", *done * 100);
  text += Format(" shared_rate=%.1f/s shared_failed=%zu", cluster.rate, cluster.failed);
  return text;
}

// "following at ID N, newest shop M first seen 5m ago" once the top is found; empty before and
// without --follow.
std::string FollowingText(const WalkFigures& figures) {
  if (!figures.follow || !figures.follow->topFound) return {};
  std::string text = Format("following at ID %" PRId32 ", newest shop %" PRId32, figures.cursor,
                            figures.follow->newest);
  if (figures.newestAge) {
    text += " first seen " + AgoText(duration_cast<seconds>(*figures.newestAge)) + " ago";
  }
  return text;
}

}  // namespace

std::string AgoText(std::chrono::seconds age) {
  const std::int64_t secs = std::max<std::int64_t>(age.count(), 0);
  if (secs < 60) return std::to_string(secs) + "s";
  if (secs < 3600) return std::to_string(secs / 60) + "m";
  if (secs < 86400) return std::to_string(secs / 3600) + "h";
  return std::to_string(secs / 86400) + "d";
}

std::string ClockText(std::chrono::seconds duration) {
  const std::int64_t total = std::max<std::int64_t>(duration.count(), 0);
  const std::int64_t hours = total / 3600, minutes = total / 60 % 60, secs = total % 60;
  if (hours > 0) return Format("%" PRId64 ":%02" PRId64 ":%02" PRId64, hours, minutes, secs);
  return Format("%" PRId64 ":%02" PRId64, minutes, secs);
}

std::string StatusLine(const WalkFigures& figures, Clock::Duration elapsed,
                       std::optional<std::int32_t> last, std::size_t width) {
  const double rate = Rate(figures, elapsed);
  std::string line =
      Format("walked %" PRId64 " IDs  %.1f IDs/s  found %zu", figures.Walked(), rate, figures.rows);
  // Early in the line, so that a narrow terminal still shows it.
  if (figures.storeUnwritten) {
    line += Format("  STORE FAILING: %" PRIu64 " rows unsaved", *figures.storeUnwritten);
  }
  // What a follow is about, before the counts of trouble, so that a narrow terminal shows it.
  if (const std::string following = FollowingText(figures); !following.empty()) {
    line += "  " + following;
  }
  if (figures.rowsWithCutFields > 0) line += "  " + CutRowsText(figures);
  if (figures.waiting > 0 || figures.failed > 0) {
    line += Format("  waiting %zu  failed %zu", figures.waiting, figures.failed);
  }
  if (figures.paused) line += "  " + PauseText(figures);
  if (last && figures.started && *last >= figures.first) {
    const double total = static_cast<double>(*last) - figures.first + 1;
    const double done = std::clamp(static_cast<double>(figures.Walked()) / total, 0.0, 1.0);
    const auto filled = static_cast<std::size_t>(std::lround(done * BarWidth));
    line += "  [" + std::string(filled, '#') + std::string(BarWidth - filled, '.') + "] " +
            Format("%.0f%%", done * 100);
    if (rate > 0) {
      const double left = total - static_cast<double>(figures.Walked());
      line += "  left " + ClockText(seconds(std::llround(left / rate)));
    }
  }
  line += "  elapsed " + ClockText(duration_cast<seconds>(elapsed));
  line += ClusterText(figures);
  if (width > 0 && line.size() > width) line.resize(width);
  return line;
}

std::string LogLine(const WalkFigures& figures, Clock::Duration elapsed,
                    std::optional<std::int32_t> last, Clock::CalendarTime at) {
  const auto now = static_cast<std::time_t>(UnixSeconds(at));
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::string line =
      Format("%s walked=%" PRId64 " at=%" PRId32 " rate=%.1f/s found=%zu waiting=%zu failed=%zu",
             stamp, figures.Walked(), figures.cursor, Rate(figures, elapsed), figures.rows,
             figures.waiting, figures.failed);
  if (figures.rowsWithCutFields > 0)
    line += Format(" cut_rows=%" PRIu64, figures.rowsWithCutFields);
  if (last) line += Format(" last=%" PRId32, *last);
  if (figures.storeUnwritten) line += Format(" store_unsaved=%" PRIu64, *figures.storeUnwritten);
  if (figures.paused) line += " " + PauseText(figures);
  line += " elapsed=" + ClockText(duration_cast<seconds>(elapsed));
  line += ClusterFields(figures);
  if (figures.follow && figures.follow->topFound) {
    line +=
        Format(" following_at=%" PRId32 " newest=%" PRId32, figures.cursor, figures.follow->newest);
    if (figures.newestAge) {
      line += Format(" newest_age_s=%lld",
                     static_cast<long long>(duration_cast<seconds>(*figures.newestAge).count()));
    }
  }
  return line;
}

std::string SummaryLine(const WalkFigures& figures, Clock::Duration elapsed,
                        const std::string& ending) {
  std::string line = Format("walked %" PRId64 " shop IDs", figures.Walked());
  // A shared walk's IDs come in blocks: its own first and last say little.
  if (figures.started && !figures.cluster)
    line += Format(" (%" PRId32 " to %" PRId32 ")", figures.first, figures.cursor);
  line += " in " + ClockText(duration_cast<seconds>(elapsed)) +
          Format(", %.1f IDs/s; found %zu shops; %zu waiting, %zu failed for good; ",
                 Rate(figures, elapsed), figures.rows, figures.waiting, figures.failed);
  if (figures.rowsWithCutFields > 0) line += CutRowsText(figures) + "; ";
  line += ending;
  line += ClusterText(figures);
  return line;
}

bool IsTerminal(std::FILE* file) {
  return ::isatty(::fileno(file)) == 1;
}

std::size_t TerminalWidth(std::FILE* file) {
  winsize size{};
  if (::ioctl(::fileno(file), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

ProgressDisplay::ProgressDisplay(ProgressStyle style, std::function<WalkFigures()> figures,
                                 std::optional<std::int32_t> last, std::FILE* out, Clock& clock)
    : style_(style), figures_(std::move(figures)), last_(last), out_(out), clock_(clock) {}

ProgressDisplay::~ProgressDisplay() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void ProgressDisplay::Start() {
  start_ = clock_.Now();
  if (style_ == ProgressStyle::Quiet) return;
  thread_ = std::thread([this] { Run(); });
}

void ProgressDisplay::Run() {
  const auto interval = style_ == ProgressStyle::Terminal ? Clock::Duration(TerminalInterval)
                                                          : Clock::Duration(LogInterval);
  std::unique_lock lock(mutex_);
  while (!clock_.WaitFor(lock, wake_, interval, [this] { return stopping_; })) Draw();
}

void ProgressDisplay::Draw() {
  const WalkFigures figures = figures_();
  const auto elapsed = clock_.Now() - start_;
  if (style_ == ProgressStyle::Terminal) {
    // Redrawn in place: back to the line's start, the line, then clear what an older, longer
    // line left behind.
    const std::string line = StatusLine(figures, elapsed, last_, TerminalWidth(out_) - 1);
    std::fprintf(out_, "\r%s\x1b[K", line.c_str());
    drewLine_ = true;
  } else {
    std::fprintf(out_, "%s\n", LogLine(figures, elapsed, last_, clock_.CalendarNow()).c_str());
  }
  std::fflush(out_);
}

void ProgressDisplay::Finish(const std::string& ending) {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  if (drewLine_) std::fputs("\r\x1b[K", out_);
  const auto elapsed = clock_.Now() - start_;
  std::fprintf(out_, "%s\n", SummaryLine(figures_(), elapsed, ending).c_str());
  std::fflush(out_);
}

}  // namespace shopwalk
