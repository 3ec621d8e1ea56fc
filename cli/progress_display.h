// How a walk on the command line shows its progress: on a terminal, one status line redrawn at
// most four times a second (shop IDs walked, IDs per second, shops found, while the store cannot
// write the rows it holds unsaved, rows with a field cut to the longest a row keeps when there are
// any, waiting and failed shops, the pause and its reason, the time elapsed and, when the end is
// known, a bar and the time left; while following the top, the ID asked last, the newest shop and
// how long ago it was first seen); elsewhere (a log, cron) one plain line every 10 s; and a
// summary at the end. Quiet shows only the summary.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "base/clock.h"
#include "cli/walk_view.h"

namespace shopwalk {

enum class ProgressStyle { Terminal, Log, Quiet };

// The status line for `figures` after `elapsed`, with `last` the walk's last shop ID when known,
// cut to `width` characters (0: no limit).
std::string StatusLine(const WalkFigures& figures, Clock::Duration elapsed,
                       std::optional<std::int32_t> last, std::size_t width);
// One plain log line, stamped with the local time of `at`.
std::string LogLine(const WalkFigures& figures, Clock::Duration elapsed,
                    std::optional<std::int32_t> last, Clock::CalendarTime at);
// The summary at the end; `ending` says how the walk ended ("finished", "stopped by SIGINT").
std::string SummaryLine(const WalkFigures& figures, Clock::Duration elapsed,
                        const std::string& ending);
// How long ago, in its largest whole unit: "42s", "5m", "3h", "12d" (a negative age reads 0s).
std::string AgoText(std::chrono::seconds age);
// "1:02:03" or "2:03".
std::string ClockText(std::chrono::seconds duration);

class ProgressDisplay {
 public:
  // `figures` is read whenever the display draws; output goes to `out`. It draws, and counts the
  // time elapsed, by `clock`, which must outlive it.
  ProgressDisplay(ProgressStyle style, std::function<WalkFigures()> figures,
                  std::optional<std::int32_t> last, std::FILE* out, Clock& clock = RealClock());
  ~ProgressDisplay();
  ProgressDisplay(const ProgressDisplay&) = delete;
  ProgressDisplay& operator=(const ProgressDisplay&) = delete;

  void Start();
  // Stops drawing (clears the status line) and prints the summary.
  void Finish(const std::string& ending);

 private:
  void Run();
  void Draw();

  ProgressStyle style_;
  std::function<WalkFigures()> figures_;
  std::optional<std::int32_t> last_;
  std::FILE* out_;
  Clock& clock_;
  Clock::TimePoint start_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  bool drewLine_ = false;
  std::thread thread_;
};

// Whether `file` is a terminal, and its width in columns (80 when unknown).
bool IsTerminal(std::FILE* file);
std::size_t TerminalWidth(std::FILE* file);

}  // namespace shopwalk
