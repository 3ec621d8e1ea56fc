#include "cli/command_line.h"

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <limits>

#include "base/duration.h"
#include "base/terminal_text.h"
#include "cli/since_time.h"
#include "net/proxy_setting.h"
#include "net/web_access.h"

namespace shopwalk {
namespace {

constexpr std::int32_t LargestShopId = std::numeric_limits<std::int32_t>::max();
// The slowest pace the walk takes: one shop ID in 1,000 s.
constexpr double SlowestRate = 0.001;
constexpr double FastestRate = 100000.0;

// A whole number (for the options that take shop IDs and counts).
const CLI::Validator WholeNumber(
    [](std::string& input) -> std::string {
      if (input.empty() || input.find_first_not_of("0123456789+-") != std::string::npos) {
        return input + " is not a whole number";
      }
      return {};
    },
    "INTEGER");

// A rate: 0 (as fast as the workers allow), or a number of shop IDs a second within bounds;
// not a number, infinite or out of bounds is refused.
const CLI::Validator Rate(
    [](std::string& input) -> std::string {
      double value = 0;
      if (!CLI::detail::lexical_cast(input, value) || !std::isfinite(value)) {
        return input + " is not a number";
      }
      if (value != 0 && (value < SlowestRate || value > FastestRate)) {
        return input + " is out of range: 0, or 0.001 to 100000 shop IDs a second";
      }
      return {};
    },
    "RATE");

// A duration such as 500ms, 60s or 5m, longer than 0 (base/duration.h).
const CLI::Validator PositiveDuration(
    [](std::string& input) -> std::string {
      const auto duration = ParseDuration(input);
      // The reason only: the input may hold anything, and goes to the terminal.
      if (!duration) return "not a duration: " + std::string(DurationProblemText(duration.error()));
      if (duration->count() == 0) return "a duration longer than 0 is needed";
      return {};
    },
    "DURATION");

// A time to look back to (cli/since_time.h): its form only, as now is not known yet.
const CLI::Validator Since(
    [](std::string& input) -> std::string {
      const auto since = SinceTime(input, 0);
      return since ? std::string() : since.error();
    },
    "WHEN");

// A proxy: "none", or a URL of http, https or socks5h; the reason is said without the value, which
// may hold a password.
const CLI::Validator ProxyText(
    [](std::string& input) -> std::string {
      const Expected<ProxySetting, std::string> setting = ParseProxySetting(input);
      return setting ? std::string() : TerminalSafe(setting.error());
    },
    "URL");

// An agent text that can stand in the User-Agent header.
const CLI::Validator AgentText(
    [](std::string& input) -> std::string {
      return TerminalSafe(UserAgentProblem(input).value_or(std::string()));
    },
    "TEXT");

}  // namespace

ParsedCommand ParseCommandLine(int argc, const char* const* argv,
                               const std::string& settingsDirectory, const std::string& storePath) {
  CLI::App app("shopwalk-cli: walks the marketplace's shop IDs without a window", "shopwalk-cli");
  app.set_version_flag("--version", std::string("shopwalk-cli ") + SHOPWALK_VERSION);
  app.require_subcommand(1);
  app.footer("Settings (config.ini) are read from " + settingsDirectory +
             "\nThe results store is " + storePath +
             "\nSHOPWALK_CONNECT_TO=HOST:PORT sends every connection to that address (not with "
             "a proxy).\nWithout --proxy or config.ini's Proxy, http_proxy, https_proxy and "
             "no_proxy are honoured.");

  WalkCommand walk;
  auto* walkApp = app.add_subcommand(
      "walk",
      "Walk shop IDs upward, list the shops found and keep them in the store; without --from, "
      "continue after the place of the last command-line walk (or config.ini's Now_ID)");
  walkApp->add_option("--from", walk.from, "First shop ID to collect")
      ->check(WholeNumber)
      ->check(CLI::Range(0, LargestShopId));
  auto* to = walkApp->add_option("--to", walk.to, "Last shop ID to collect (included)")
                 ->check(WholeNumber)
                 ->check(CLI::Range(0, LargestShopId));
  auto* count = walkApp->add_option("--count", walk.count, "Number of shop IDs to walk")
                    ->check(WholeNumber)
                    ->check(CLI::Range(std::int64_t{1}, std::int64_t{LargestShopId} + 1))
                    ->excludes(to);
  auto* follow =
      walkApp
          ->add_flag(
              "--follow", walk.follow,
              "Follow the top: find the newest shop, then keep asking the IDs above it and list "
              "each shop as it opens; runs until stopped (Ctrl-C, SIGTERM)")
          ->excludes(to)
          ->excludes(count);
  // The follow window's settings make sense only with it.
  walkApp
      ->add_option("--follow-window", walk.followWindow,
                   "IDs in a row above the newest shop that must answer \"no shop\" (the top), "
                   "asked again each time")
      ->capture_default_str()
      ->check(WholeNumber)
      ->check(CLI::Range(1, 1000000))
      ->needs(follow);
  std::string followEvery = "60s";
  walkApp
      ->add_option("--follow-every", followEvery,
                   "How often the IDs above the newest shop are asked again (500ms, 60s, 5m)")
      ->capture_default_str()
      ->check(PositiveDuration)
      ->needs(follow);
  walkApp->add_option("--threads", walk.threads, "Worker threads (0: 20)")
      ->capture_default_str()
      ->check(WholeNumber)
      ->check(CLI::Range(0, 1000));
  walkApp
      ->add_option("--rate", walk.rate,
                   "Shop IDs a second, 0.001 to 100000 (0: as fast as the workers allow)")
      ->capture_default_str()
      ->check(Rate);
  walkApp
      ->add_option("--max-requests", walk.maxRequests,
                   "Most requests at the marketplace at once (default: one per worker thread)")
      ->check(CLI::Number)
      ->check(CLI::Range(1, 1000));
  walkApp->add_option("--db", walk.db,
                      "The results store: a file, or a PostgreSQL database "
                      "(postgresql://USER@HOST:PORT/DB) through which several machines share "
                      "one walk");
  walkApp->add_option("--block-size", walk.blockSize, "Shared walk: IDs in a block (1000)")
      ->check(WholeNumber)
      ->check(CLI::Range(1, 1000000));
  walkApp->add_option("--lease-ms", walk.leaseMs, "Shared walk: how long a claim holds (60000)")
      ->check(WholeNumber)
      ->check(CLI::Range(300, 86400000));
  walkApp
      ->add_option("--renew-ms", walk.renewMs,
                   "Shared walk: how often the node renews its claims (10000)")
      ->check(WholeNumber)
      ->check(CLI::Range(50, 86400000));
  walkApp->add_option("--out", walk.out,
                      "Also write this walk's rows to FILE as they come (.txt, .csv, .jsonl, "
                      ".xlsx by the name's ending); -: the shops new to the store, changed or "
                      "open again, as JSON Lines on standard output");
  walkApp->add_flag("--quiet", walk.quiet, "Print only the summary at the end");
  walkApp->add_flag("--keep-pages", walk.keepPages,
                    "Keep every answered page in the store, packed, so that `reparse` can cut the "
                    "rows again with other markers");
  walkApp
      ->add_option("--keep-pages-mb", walk.keepPagesMb,
                   "Most MB the kept pages take packed; past it the oldest are dropped (1 to "
                   "1000000, default 1024; implies --keep-pages)")
      ->check(WholeNumber)
      ->check(CLI::Range(std::uint64_t{1}, std::uint64_t{1000000}));
  walkApp
      ->add_option("--proxy", walk.proxy,
                   "Send every request through this proxy: http://HOST:PORT, https://HOST:PORT or "
                   "socks5h://HOST:PORT (USER:PASSWORD@ before HOST when it asks), or none to go "
                   "straight whatever the environment says (default: config.ini's Proxy, else "
                   "http_proxy, https_proxy and no_proxy)")
      ->check(ProxyText);
  walkApp
      ->add_option("--user-agent", walk.userAgent,
                   "The User-Agent text of every request (default: config.ini's User_Agent, else "
                   "the built-in one)")
      ->check(AgentText);

  ExportCommand exportCommand;
  std::string format, encoding = "gbk";
  auto* exportApp = app.add_subcommand(
      "export", "Write every row of the store (one per shop, in shop-ID order), or its kept pages");
  exportApp->add_option("--db", exportCommand.db,
                        "The results store (a file, or a postgresql:// database)");
  auto* out = exportApp->add_option("--out", exportCommand.out,
                                    "The file to write (-: standard output, not for xlsx)");
  auto* pagesOut = exportApp->add_option(
      "--pages", exportCommand.pages,
      "Write the kept pages into this existing folder instead, one file each "
      "(<shop ID>-home.html, <shop ID>-rating.html), bytes as the marketplace sent them");
  out->excludes(pagesOut);
  auto* formatOption =
      exportApp
          ->add_option("--format", format, "txt, csv, jsonl or xlsx (default: by --out's ending)")
          ->check(CLI::IsMember({"txt", "csv", "jsonl", "xlsx"}));
  exportApp->add_flag("--messenger-only", exportCommand.messengerOnly,
                      "Only the messenger names (txt)");
  exportApp->add_option("--encoding", encoding, "gbk or utf-8, for txt and csv")
      ->capture_default_str()
      ->check(CLI::IsMember({"gbk", "utf-8"}));
  exportApp->add_flag("--raw-cells", exportCommand.rawCells,
                      "csv: write every cell as it is, also one a spreadsheet would run as a "
                      "formula (for programs that read the file)");
  const std::string whenForms =
      " (WHEN: 2026-12-01, 2026-12-01T10:30 in UTC, or back from now: 1h, 24h, 7d)";
  auto* newSince = exportApp
                       ->add_option("--new-since", exportCommand.newSince,
                                    "Only the shops first seen since WHEN" + whenForms)
                       ->check(Since);
  auto* changedSince =
      exportApp
          ->add_option("--changed-since", exportCommand.changedSince,
                       "Only the shops whose fields changed since WHEN (with --history: only the "
                       "changes since WHEN)")
          ->check(Since);
  auto* closedSince = exportApp
                          ->add_option("--closed-since", exportCommand.closedSince,
                                       "Only the shops closed since WHEN, and closed still")
                          ->check(Since);
  auto* history = exportApp->add_flag(
      "--history", exportCommand.history,
      "Write the history of changes instead, one JSON line each (shop, field, old and new "
      "value, when, and by what: walk, refresh or reparse); --out - writes to standard output");
  newSince->excludes(changedSince)->excludes(closedSince)->excludes(pagesOut);
  changedSince->excludes(closedSince)->excludes(pagesOut);
  closedSince->excludes(pagesOut);
  history->excludes(newSince)->excludes(closedSince)->excludes(pagesOut)->excludes(formatOption);

  RefreshCommand refresh;
  std::string olderThan = "30d";
  auto* refreshApp = app.add_subcommand(
      "refresh",
      "Visit the listed shops checked longest ago again and record what changed: new names and "
      "reputations, shops that closed (\"no such shop\") or opened again");
  refreshApp->add_option("--db", refresh.db,
                         "The results store (a file, or a postgresql:// database)");
  refreshApp
      ->add_option("--older-than", olderThan,
                   "Only shops last checked at least this long ago (500ms, 60s, 5m, 12h, 30d)")
      ->capture_default_str()
      ->check(PositiveDuration);
  refreshApp->add_option("--count", refresh.count, "At most this many shops (default: all)")
      ->check(WholeNumber)
      ->check(CLI::Range(std::size_t{1}, std::size_t{LargestShopId}));
  refreshApp->add_option("--threads", refresh.threads, "Worker threads (0: 20)")
      ->capture_default_str()
      ->check(WholeNumber)
      ->check(CLI::Range(0, 1000));
  refreshApp
      ->add_option("--rate", refresh.rate,
                   "Shops a second, 0.001 to 100000 (0: as fast as the workers allow)")
      ->capture_default_str()
      ->check(Rate);
  refreshApp->add_option("--out", refresh.out,
                         "Write each shop that changed, closed or opened again to FILE as a JSON "
                         "line with a \"change\" member, as it comes (-: standard output)");
  refreshApp->add_flag("--quiet", refresh.quiet, "Print only the summary at the end");

  StatusCommand status;
  auto* statusApp = app.add_subcommand(
      "status", "Runs, walked range, rows, shops waiting for a retry and failed for good");
  statusApp->add_option("--db", status.db,
                        "The results store (a file, or a postgresql:// database)");

  ReparseCommand reparse;
  auto* reparseApp = app.add_subcommand(
      "reparse",
      "Cut the rows again from the kept pages with the markers in force (markers.ini) and write "
      "the rows that are new or changed");
  reparseApp->add_option("--db", reparse.db,
                         "The results store (a file, or a postgresql:// database)");
  reparseApp->add_option("--from", reparse.from, "First shop ID")
      ->check(WholeNumber)
      ->check(CLI::Range(0, LargestShopId));
  reparseApp->add_option("--to", reparse.to, "Last shop ID (included)")
      ->check(WholeNumber)
      ->check(CLI::Range(0, LargestShopId));

  MarkersCommand markers;
  auto* markersApp = app.add_subcommand(
      "markers", "The text markers the fields are cut with (built in, or set in markers.ini)");
  markersApp->require_subcommand(1);
  auto* markersShow =
      markersApp->add_subcommand("show", "Print the markers in force and where each came from");
  auto* markersTry = markersApp->add_subcommand(
      "try", "Print what each marker cuts from a saved home page (and rating page)");
  markersTry->add_option("PAGE", markers.page, "A saved shop home page")->required();
  markersTry->add_option("RATING", markers.rating, "A saved rating page");

  try {
    app.parse(argc, argv);
    const auto refuseBackwards = [](const std::optional<std::int32_t>& from,
                                    const std::optional<std::int32_t>& to) {
      if (!from || !to || *to >= *from) return;
      throw CLI::ValidationError("--to", "--to (" + std::to_string(*to) + ") is below --from (" +
                                             std::to_string(*from) + ")");
    };
    if (walkApp->parsed()) refuseBackwards(walk.from, walk.to);
    if (reparseApp->parsed()) refuseBackwards(reparse.from, reparse.to);
    if (exportApp->parsed() && exportCommand.out.empty() && exportCommand.pages.empty()) {
      throw CLI::RequiredError("--out or --pages");
    }
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return UsageErrorExitCode;
  }

  if (walkApp->parsed()) {
    if (walk.keepPagesMb) walk.keepPages = true;
    walk.followEvery = ParseDuration(followEvery).value_or(walk.followEvery);
    return walk;
  }
  if (exportApp->parsed()) {
    if (format == "txt") exportCommand.format = ExportFormat::Text;
    if (format == "csv") exportCommand.format = ExportFormat::Csv;
    if (format == "jsonl") exportCommand.format = ExportFormat::Jsonl;
    if (format == "xlsx") exportCommand.format = ExportFormat::Xlsx;
    exportCommand.encoding = encoding == "utf-8" ? ExportEncoding::Utf8 : ExportEncoding::Gbk;
    return exportCommand;
  }
  if (reparseApp->parsed()) return reparse;
  if (refreshApp->parsed()) {
    refresh.olderThan = ParseDuration(olderThan).value_or(refresh.olderThan);
    return refresh;
  }
  if (markersApp->parsed()) {
    markers.action =
        markersShow->parsed() ? MarkersCommand::Action::Show : MarkersCommand::Action::Try;
    return markers;
  }
  return status;
}

}  // namespace shopwalk
