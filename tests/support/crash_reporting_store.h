// For crash tests: a results store that says on standard output what it was given and what became
// durable, so the test that kills the process knows what must have survived. It forwards
// everything to the store it wraps and prints, each line flushed at once:
//   ROW <shop ID>        a row appended to the list (in list order)
//   DURABLE <n>          n rows reported by this process are durable
// It also keeps, after each commit, a full-layout export of the window's list up to the durable
// rows in `durableExportPath` (written whole, then renamed), made by `exportDurable`. Exports and
// marks are made on a thread of their own, never on the store's writer: reading the window from
// there could wait for a UI thread that waits for the writer.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "results/result_store.h"

namespace shopwalk::test {

class CrashReportingStore : public ResultStore {
 public:
  // `exportDurable(rows, path)` writes the export of the list's first `rows` rows to `path`.
  CrashReportingStore(std::shared_ptr<ResultStore> inner, std::string durableExportPath,
                      std::function<void(std::size_t rows, const std::string& path)> exportDurable,
                      std::size_t restoredRows);
  ~CrashReportingStore() override;
  CrashReportingStore(const CrashReportingStore&) = delete;
  CrashReportingStore& operator=(const CrashReportingStore&) = delete;

  void RowAppended(const ShopRecord& record) override;
  void Answered(std::int32_t shopId, ShopOutcome outcome) override;
  void Failed(const FailedShop& shop) override;
  void PlaceMoved(const std::string& place) override;
  std::vector<FailedShop> FailedShops() override;
  Expected<std::optional<InterruptedRun>, StoreProblem> Interrupted(RunKind kind) override;
  void BeginRun(RunKind kind, const std::string& place) override;
  void ContinueRun(std::int64_t runId) override;
  void EndRun(bool placeSaved) override;
  Expected<std::optional<std::string>, StoreProblem> LastPlace(RunKind kind) override;
  bool Congested() const override;
  bool Flush(std::chrono::milliseconds timeout) override;
  StoreBacklog Backlog() override;
  std::optional<std::string> DurablePlace() override;
  void OnTrouble(std::function<void(const std::optional<StoreProblem>&)> listener) override;
  void OnDurable(std::function<void(std::uint64_t durableRows)> listener) override;
  void SetChangeSource(ChangeSource source) override;
  void ShopClosed(std::int32_t shopId) override;
  Expected<void, StoreProblem> ForEachRow(
      const std::function<void(const ShopRecord&)>& visit) override;
  Expected<StoreSummary, StoreProblem> Summary() override;
  Expected<std::vector<FailedShop>, StoreProblem> ReadFailedShops() override;
  Expected<std::vector<ShopToRefresh>, StoreProblem> ShopsToRefresh(
      std::int64_t checkedBeforeMs, std::optional<std::size_t> count) override;
  Expected<void, StoreProblem> ForEachRowSince(
      RowsSince kind, std::int64_t sinceMs,
      const std::function<void(const ShopRecord&, const ShopTimes&)>& visit) override;
  Expected<void, StoreProblem> ForEachChange(
      std::int64_t sinceMs, const std::function<void(const ShopChange&)>& visit) override;
  void KeepDictionary(const PageDictionary& dictionary) override;
  void KeepPage(const PackedPage& page) override;
  void SetKeptPagesBudget(std::uint64_t packedBytes) override;
  Expected<std::uint32_t, StoreProblem> NewDictionaryId() override;
  Expected<void, StoreProblem> ForEachKeptPage(
      std::int32_t from, std::int32_t to,
      const std::function<void(const PackedPage&, const PageDictionary*)>& visit) override;
  Expected<KeptPagesSummary, StoreProblem> KeptPages() override;

  // Rows the list held before this process appended any (an interrupted run put back).
  void SetRestoredRows(std::size_t rows);

 private:
  std::shared_ptr<ResultStore> inner_;
  std::string durableExportPath_;
  std::function<void(std::size_t, const std::string&)> exportDurable_;
  void ReportDurable();

  std::mutex mutex_;
  std::condition_variable durableChanged_;
  std::size_t restoredRows_;
  std::optional<std::uint64_t> durable_;  // the latest count not reported yet
  bool stopping_ = false;
  std::thread reporter_;
};

// Prints one line on standard output at once (many threads print).
void PrintLine(const std::string& line);

}  // namespace shopwalk::test
