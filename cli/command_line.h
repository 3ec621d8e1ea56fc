// The command line of shopwalk-cli: its subcommands and options, read with CLI11. Usage errors
// (an unknown option, a value that is not a number, --to below --from, a negative rate, --follow
// with --to or --count, a --follow-every that is no duration, a proxy that is no proxy URL, an
// agent text with a control character) are
// reported with the usage hint and exit code 2.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "store/export_rows.h"

namespace shopwalk {

struct WalkCommand {
  std::optional<std::int32_t> from;  // the first shop ID collected
  std::optional<std::int32_t> to;    // the last one (included)
  std::optional<std::int64_t> count;
  int threads = 10;
  double rate = 10.0;  // shop IDs a second; 0: as fast as the workers allow
  // The most requests at the marketplace at once; empty: one per worker thread.
  std::optional<int> maxRequests;
  // A walk shared through PostgreSQL (--db postgresql://...): the block size of a new walk, the
  // lease's length and how often it is renewed (milliseconds); nothing keeps the defaults.
  std::optional<int> blockSize;
  std::optional<int> leaseMs;
  std::optional<int> renewMs;
  std::string db;   // empty: the default store
  std::string out;  // empty: none
  bool quiet = false;
  // Keep every answered page in the store (--keep-pages, or config.ini's Keep_Pages=1), within
  // --keep-pages-mb MB packed (which keeps pages too); empty: config.ini's or the default.
  bool keepPages = false;
  std::optional<std::uint64_t> keepPagesMb;
  // Follow the top of the marketplace (--follow) instead of walking to an end: the IDs in a row
  // above the newest shop that must answer "no shop" (and are asked again), and how often.
  bool follow = false;
  std::int32_t followWindow = 200;
  std::chrono::milliseconds followEvery{60000};
  // The proxy (a URL, or "none" for straight) and the User-Agent text of every request; empty:
  // config.ini's Proxy and User_Agent, else the standard proxy variables and the built-in text.
  std::optional<std::string> proxy;
  std::optional<std::string> userAgent;
};

struct ExportCommand {
  std::string db;
  std::string out;                     // the rows' file (empty: none; --pages then)
  std::string pages;                   // a folder to write the kept pages into (empty: none)
  std::optional<ExportFormat> format;  // empty: by the name's ending
  bool messengerOnly = false;
  ExportEncoding encoding = ExportEncoding::Gbk;
  // CSV cells exactly as they are, formula look-alikes not made plain text (--raw-cells).
  bool rawCells = false;
  // Only the shops first seen, changed or closed since WHEN (cli/since_time.h; at most one of
  // them); empty: every row.
  std::string newSince;
  std::string changedSince;
  std::string closedSince;
  // The history of changes as JSON Lines instead of rows (since changedSince when given).
  bool history = false;
};

// shopwalk-cli reparse: cuts the rows again from the kept pages of shop IDs --from to --to.
struct ReparseCommand {
  std::string db;
  std::optional<std::int32_t> from;
  std::optional<std::int32_t> to;
};

// shopwalk-cli refresh: visits the listed shops checked longest ago again.
struct RefreshCommand {
  std::string db;
  // Shops last checked at least this long ago.
  std::chrono::milliseconds olderThan = std::chrono::hours(24 * 30);
  // At most this many (nothing: all of them).
  std::optional<std::size_t> count;
  int threads = 10;
  double rate = 10.0;  // shops a second; 0: as fast as the workers allow
  // JSON Lines of the shops that changed, closed or opened again ("-": standard output).
  std::string out;
  bool quiet = false;
};

struct StatusCommand {
  std::string db;
};

// shopwalk-cli markers show | markers try PAGE [RATING].
struct MarkersCommand {
  enum class Action { Show, Try };
  Action action = Action::Show;
  std::string page;    // try: a saved home page
  std::string rating;  // try: a saved rating page (empty: none)
};

// What the command line asks for, or the exit code when it has been answered already (help,
// version, a usage error).
using ParsedCommand = std::variant<WalkCommand, ExportCommand, StatusCommand, MarkersCommand,
                                   ReparseCommand, RefreshCommand, int>;

// `settingsDirectory` and `storePath` are shown in the help, which says which folders are in use.
ParsedCommand ParseCommandLine(int argc, const char* const* argv,
                               const std::string& settingsDirectory, const std::string& storePath);

inline constexpr int UsageErrorExitCode = 2;
// A walk or a refresh that held because the marketplace's pages no longer match the markers.
inline constexpr int PagesDoNotMatchExitCode = 4;

}  // namespace shopwalk
