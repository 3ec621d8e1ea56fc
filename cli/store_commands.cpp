// shopwalk-cli export and status: reading a store, also one that a walk is writing.
#include <cstdio>
#include <memory>
#include <vector>

#include "cli/commands.h"
#include "collect/text.h"
#include "results/sqlite_store.h"

namespace shopwalk {
namespace {

// The store's rows, numbered 1..N in shop-ID order.
class StoredRows : public ResultRows {
 public:
  explicit StoredRows(ResultStore& store) {
    store.ForEachRow([this](const ShopRecord& record) {
      rows_.push_back(record.Row(NumberToText(static_cast<std::int32_t>(rows_.size() + 1))));
      ids_.push_back(record.shopId);
    });
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

std::unique_ptr<SqliteStore> OpenToRead(const std::string& given, const Folders& folders) {
  const std::string path = given.empty() ? folders.store : given;
  SqliteStore::Opening opened = SqliteStore::OpenForReading(path);
  if (!opened) {
    std::fprintf(stderr, "shopwalk-cli: cannot read the store %s: %s\n",
                 opened.problem.path.c_str(), opened.problem.reason.c_str());
    return nullptr;
  }
  return std::move(opened.store);
}

}  // namespace

int RunExport(const ExportCommand& command, const Folders& folders) {
  std::unique_ptr<SqliteStore> store = OpenToRead(command.db, folders);
  if (!store) return 1;
  const StoredRows rows(*store);
  ExportOptions options;
  options.format = command.format.value_or(FormatForFileName(command.out));
  options.messengerOnly = command.messengerOnly;
  options.encoding = command.encoding;
  const WriteResult written = ExportRows(rows, command.out, options);
  if (!written) {
    std::fprintf(stderr, "shopwalk-cli: cannot write %s: %s\n", written.path.c_str(),
                 written.reason.c_str());
    return 1;
  }
  std::fprintf(stderr, "exported %d rows to %s\n", rows.RowCount(), command.out.c_str());
  return 0;
}

int RunStatus(const StatusCommand& command, const Folders& folders) {
  std::unique_ptr<SqliteStore> store = OpenToRead(command.db, folders);
  if (!store) return 1;
  const StoreSummary summary = store->Summary();
  std::printf("store        %s\n", store->Path().c_str());
  std::printf("runs         %zu\n", summary.runs);
  if (summary.lowestWalked && summary.highestWalked) {
    std::printf("walked       %d to %d\n", *summary.lowestWalked, *summary.highestWalked);
  } else {
    std::printf("walked       nothing yet\n");
  }
  std::printf("rows         %zu\n", summary.rows);
  std::printf("failed       %zu\n", summary.failed);
  for (const auto& [reason, count] : summary.failureReasons) {
    std::printf("  %-22s %zu\n", reason.c_str(), count);
  }
  for (RunKind kind : {RunKind::CommandLine, RunKind::Window}) {
    const char* name = kind == RunKind::CommandLine ? "command line" : "window";
    if (const auto place = store->LastPlace(kind)) {
      const bool interrupted = store->Interrupted(kind).has_value();
      std::printf("place        %s (%s%s)\n", place->c_str(), name,
                  interrupted ? ", interrupted" : "");
    }
  }
  return 0;
}

}  // namespace shopwalk
