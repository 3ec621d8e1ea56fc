// shopwalk-cli export and status: reading a store, also one that a walk is writing.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "base/terminal_text.h"
#include "cli/change_lines.h"
#include "cli/commands.h"
#include "cli/kept_page_work.h"
#include "cli/progress_display.h"
#include "cli/since_time.h"
#include "collect/row_checks.h"
#include "collect/shop_record.h"
#include "collect/text.h"
#include "results/page_keeper.h"
#include "results/store.h"
#include "store/export_layout.h"
#include "store/export_rows.h"
#include "store/file_bytes.h"

namespace shopwalk {
namespace {

// Says on standard error that the store cannot be read, and why.
void CannotRead(const StoreProblem& problem) {
  std::fprintf(stderr, "shopwalk-cli: cannot read the store %s: %s\n",
               TerminalSafe(problem.path).c_str(), TerminalSafe(problem.reason).c_str());
}

// The store's rows, numbered 1..N in shop-ID order.
class StoredRows : public ResultRows {
 public:
  // Reads every row of `reader`; the problem when that fails (no rows are kept then).
  Expected<void, StoreProblem> Read(StoreReader& reader) {
    auto read = reader.ForEachRow([this](const ShopRecord& record) {
      rows_.push_back(record.Row(NumberToText(static_cast<std::int32_t>(rows_.size() + 1))));
      ids_.push_back(record.shopId);
    });
    if (!read) {
      rows_.clear();
      ids_.clear();
    }
    return read;
  }
  // Reads the rows of `reader` that `kind` selects since `sinceMs`, as Read does.
  Expected<void, StoreProblem> ReadSince(ShopHistoryReader& reader, RowsSince kind,
                                         std::int64_t sinceMs) {
    auto read =
        reader.ForEachRowSince(kind, sinceMs, [this](const ShopRecord& record, const ShopTimes&) {
          rows_.push_back(record.Row(NumberToText(static_cast<std::int32_t>(rows_.size() + 1))));
          ids_.push_back(record.shopId);
        });
    if (!read) {
      rows_.clear();
      ids_.clear();
    }
    return read;
  }
  int RowCount() const override { return static_cast<int>(rows_.size()); }
  std::string CellText(int row, int column) const override {
    if (row < 0 || row >= RowCount() || column < 0 || column >= ResultColumnCount) return {};
    return rows_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)];
  }
  std::optional<std::int64_t> ShopId(int row) const override {
    if (row < 0 || row >= RowCount()) return std::nullopt;
    return ids_[static_cast<std::size_t>(row)];
  }

 private:
  std::vector<ResultRow> rows_;
  std::vector<std::int32_t> ids_;
};

// The store of --db (a file or a postgresql:// database) opened for reading; said on standard
// error when it cannot be.
std::optional<StoreHandle> OpenToRead(const std::string& given, const Folders& folders,
                                      Clock& clock = RealClock()) {
  WarnOfPasswordIn(given);
  const std::string location = given.empty() ? folders.store : given;
  Expected<StoreHandle, StoreProblem> opened =
      OpenStore(location, StoreMode::Reading, StoreOptions{}, clock);
  if (!opened) {
    CannotRead(opened.error());
    return std::nullopt;
  }
  return std::move(*opened);
}

std::string TimeText(std::int64_t unixMs) {
  const std::time_t when = static_cast<std::time_t>(unixMs / 1000);
  std::tm local{};
  localtime_r(&when, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

void PrintSharedWalk(const SharedWalkSummary& walk) {
  std::printf("shared walk  %lld: from %d to %s, block size %d%s\n",
              static_cast<long long>(walk.walkId), walk.firstId,
              walk.endId ? std::to_string(*walk.endId).c_str() : "the highest shop ID",
              walk.blockSize, walk.finished ? ", finished" : "");
  std::printf("  place      %lld (every ID up to it answered), next new block at %lld\n",
              static_cast<long long>(walk.place), static_cast<long long>(walk.nextNewId));
  std::printf("  blocks     %zu done, %zu held, %zu with an expired lease\n", walk.blocksDone,
              walk.blocksHeld, walk.blocksExpired);
  std::printf(
      "  failed     %zu waiting for a retry, %zu due, %zu being retried, %zu out of rounds\n",
      walk.failedWaiting, walk.failedDue, walk.failedRetrying, walk.failedExhausted);
  for (const WalkNodeSummary& node : walk.nodes) {
    std::printf("  node %lld   %s pid %lld, last seen %s%s, %.1f IDs/s",
                static_cast<long long>(node.nodeId), TerminalSafe(node.host).c_str(),
                static_cast<long long>(node.pid), TimeText(node.lastSeenUnixMs).c_str(),
                node.stopped ? " (stopped)" : "", node.rate);
    if (node.pacedRate > 0) std::printf(" (paced at %.1f)", node.pacedRate);
    std::printf(", blocks %zu held, %zu done\n", node.blocksHeld, node.blocksDone);
  }
}

// export --pages: every kept page into `directory`, one file each.
int ExportKeptPages(const StoreHandle& store, const std::string& directory) {
  const Expected<PagesWritten, PagesProblem> written = WriteKeptPages(*store.Store(), directory);
  if (!written) {
    std::fprintf(stderr, "shopwalk-cli: cannot write the kept pages to %s: %s\n",
                 TerminalSafe(written.error().path).c_str(),
                 TerminalSafe(written.error().reason).c_str());
    return 1;
  }
  std::fprintf(stderr, "exported %llu kept pages to %s\n",
               static_cast<unsigned long long>(written->files), TerminalSafe(directory).c_str());
  if (written->unreadable != 0) {
    std::fprintf(stderr, "shopwalk-cli: %llu kept pages could not be unpacked\n",
                 static_cast<unsigned long long>(written->unreadable));
    return 1;
  }
  return 0;
}

// The layout of the export's text forms (not the workbook).
ExportLayout LayoutFor(const ExportOptions& options) {
  switch (options.format) {
    case ExportFormat::Csv:
      return options.rawCells ? ExportLayout::CsvRawCells : ExportLayout::Csv;
    case ExportFormat::Jsonl:
      return ExportLayout::Jsonl;
    default:
      return options.messengerOnly ? ExportLayout::MessengerOnly : ExportLayout::Full;
  }
}

// export --history: every change since `sinceMs` as a JSON line, to `out` ("-": standard output),
// in the order the store recorded them.
int ExportHistory(ShopHistoryReader& store, std::int64_t sinceMs, const std::string& out) {
  std::FILE* file = stdout;
  if (out != "-") {
    std::string reason;
    const int fd = OpenForWriting(out, reason);
    if (fd < 0 || (file = ::fdopen(fd, "wb")) == nullptr) {
      if (fd >= 0) {
        reason = std::strerror(errno);
        ::close(fd);
      }
      std::fprintf(stderr, "shopwalk-cli: cannot write %s: %s\n", TerminalSafe(out).c_str(),
                   TerminalSafe(reason).c_str());
      return 1;
    }
  }
  std::uint64_t changes = 0;
  bool writeFailed = false;
  const auto read = store.ForEachChange(sinceMs, [&](const ShopChange& change) {
    const std::string line = HistoryLine(change);
    writeFailed = writeFailed || std::fwrite(line.data(), 1, line.size(), file) != line.size();
    ++changes;
  });
  writeFailed = std::fflush(file) != 0 || writeFailed;
  if (file != stdout) writeFailed = std::fclose(file) != 0 || writeFailed;
  if (!read) {
    CannotRead(read.error());
    return 1;
  }
  if (writeFailed) {
    std::fprintf(stderr, "shopwalk-cli: cannot write %s: %s\n",
                 out == "-" ? "to standard output" : TerminalSafe(out).c_str(),
                 std::strerror(errno));
    return 1;
  }
  std::fprintf(stderr, "exported %llu changes\n", static_cast<unsigned long long>(changes));
  return 0;
}

}  // namespace

void WarnOfPasswordIn(const std::string& db) {
  if (!LocationHoldsPassword(db)) return;
  std::fputs(
      "shopwalk-cli: warning: the --db URI holds a password, which other users of this machine "
      "can read (ps, /proc); give it through PGPASSWORD, ~/.pgpass or service= instead\n",
      stderr);
}

int RunExport(const ExportCommand& command, const Folders& folders, Clock& clock) {
  const std::optional<StoreHandle> store = OpenToRead(command.db, folders, clock);
  if (!store) return 1;
  if (!command.pages.empty()) return ExportKeptPages(*store, command.pages);
  // The selection by time, from now on the store's clock.
  const std::int64_t nowMs = UnixMs(clock.CalendarNow());
  std::optional<std::pair<RowsSince, std::int64_t>> selection;
  for (const auto& [kind, when] : {std::pair{RowsSince::New, &command.newSince},
                                   std::pair{RowsSince::Changed, &command.changedSince},
                                   std::pair{RowsSince::Closed, &command.closedSince}}) {
    if (when->empty()) continue;
    const auto since = SinceTime(*when, nowMs);
    if (!since) {
      std::fprintf(stderr, "shopwalk-cli: %s\n", TerminalSafe(since.error()).c_str());
      return UsageErrorExitCode;
    }
    selection.emplace(kind, *since);
  }
  if (command.history) {
    return ExportHistory(*store->Store(), selection ? selection->second : 0, command.out);
  }
  StoredRows rows;
  if (auto read = selection ? rows.ReadSince(*store->Store(), selection->first, selection->second)
                            : rows.Read(store->Reader());
      !read) {
    CannotRead(read.error());
    return 1;
  }
  ExportOptions options;
  options.format = command.format.value_or(FormatForFileName(command.out));
  options.messengerOnly = command.messengerOnly;
  options.encoding = command.encoding;
  options.rawCells = command.rawCells;
  if (command.out == "-" && options.format != ExportFormat::Xlsx) {
    // Standard output: the rows as the file would hold them.
    const ExportText text = ComposeExport(rows, LayoutFor(options), options.encoding);
    std::fwrite(text.bytes.data(), 1, text.bytes.size(), stdout);
    if (std::fflush(stdout) != 0) {
      std::fprintf(stderr, "shopwalk-cli: cannot write the rows to standard output\n");
      return 1;
    }
    std::fprintf(stderr, "exported %d rows\n", text.rows);
    return 0;
  }
  const WriteResult written = ExportRows(rows, command.out, options);
  if (!written) {
    std::fprintf(stderr, "shopwalk-cli: cannot write %s: %s\n", TerminalSafe(written.path).c_str(),
                 TerminalSafe(written.reason).c_str());
    return 1;
  }
  std::fprintf(stderr, "exported %d rows to %s\n", rows.RowCount(),
               TerminalSafe(command.out).c_str());
  return 0;
}

int RunStatus(const StatusCommand& command, const Folders& folders) {
  const std::optional<StoreHandle> store = OpenToRead(command.db, folders);
  if (!store) return 1;
  const auto summary = store->Reader().Summary();
  if (!summary) {
    CannotRead(summary.error());
    return 1;
  }
  std::printf("store        %s\n", TerminalSafe(store->Location()).c_str());
  std::printf("runs         %zu\n", summary->runs);
  if (summary->lowestWalked && summary->highestWalked) {
    std::printf("walked       %d to %d\n", *summary->lowestWalked, *summary->highestWalked);
  } else {
    std::printf("walked       nothing yet\n");
  }
  std::printf("rows         %zu\n", summary->rows);
  std::printf("failed       %zu\n", summary->failed);
  for (const auto& [reason, count] : summary->failureReasons) {
    std::printf("  %-22s %zu\n", TerminalSafe(reason).c_str(), count);
  }
  if (SharedWalk* shared = store->Walk()) {
    const auto walk = shared->WalkSummary();
    if (!walk) {
      CannotRead(walk.error());
      return 1;
    }
    if (*walk) PrintSharedWalk(**walk);
  }
  RunJournal& journal = store->Journal();
  for (RunKind kind : {RunKind::CommandLine, RunKind::Window}) {
    const char* name = kind == RunKind::CommandLine ? "command line" : "window";
    const auto place = journal.LastPlace(kind);
    const auto interrupted = journal.Interrupted(kind);
    if (!place || !interrupted) {
      CannotRead(!place ? place.error() : interrupted.error());
      return 1;
    }
    if (*place) {
      std::printf("place        %s (%s%s)\n", TerminalSafe(**place).c_str(), name,
                  interrupted->has_value() ? ", interrupted" : "");
    }
  }
  // Rows kept although a check failed (CheckRow), after the lines scripts read already.
  std::size_t flagged = 0;
  auto read = store->Reader().ForEachRow([&flagged](const ShopRecord& record) {
    if (CheckRow(record) != 0) ++flagged;
  });
  if (!read) {
    CannotRead(read.error());
    return 1;
  }
  std::printf("flagged      %zu\n", flagged);
  // Shops marked to revisit and kept pages, then why shared-walk nodes stopped on their own.
  std::printf("to revisit   %zu\n", store->Sink().ShopsToRevisit().size());
  const auto kept = store->Store()->KeptPages();
  if (!kept) {
    CannotRead(kept.error());
    return 1;
  }
  std::printf("kept pages   %llu, %.1f MB packed, %llu dropped\n",
              static_cast<unsigned long long>(kept->pages),
              static_cast<double>(kept->packedBytes) / (1024.0 * 1024.0),
              static_cast<unsigned long long>(kept->dropped));
  if (SharedWalk* shared = store->Walk()) {
    const auto walk = shared->WalkSummary();
    if (!walk) {
      CannotRead(walk.error());
      return 1;
    }
    for (const WalkNodeSummary& node : *walk ? (*walk)->nodes : std::vector<WalkNodeSummary>{}) {
      if (node.heldReason.empty()) continue;
      std::printf("held         node %lld: %s\n", static_cast<long long>(node.nodeId),
                  TerminalSafe(node.heldReason).c_str());
    }
  }
  // The newest shop and its age: how fresh a list that follows the top is.
  if (summary->newestShop) {
    std::string seen;
    if (summary->newestFirstSeenUnixMs) {
      const Clock::CalendarTime at{std::chrono::milliseconds(*summary->newestFirstSeenUnixMs)};
      seen = " first seen " +
             AgoText(
                 std::chrono::duration_cast<std::chrono::seconds>(RealClock().CalendarNow() - at)) +
             " ago";
    }
    std::printf("newest shop  %d%s\n", *summary->newestShop, seen.c_str());
  }
  return 0;
}

}  // namespace shopwalk
