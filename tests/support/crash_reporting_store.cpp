#include "tests/support/crash_reporting_store.h"

#include <unistd.h>

#include <cstdio>

namespace shopwalk::test {

void PrintLine(const std::string& line) {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  const std::string text = line + "\n";
  // One write per line: a kill never leaves half a line behind a whole one.
  [[maybe_unused]] const ssize_t written = ::write(STDOUT_FILENO, text.data(), text.size());
}

CrashReportingStore::CrashReportingStore(
    std::shared_ptr<ResultStore> inner, std::string durableExportPath,
    std::function<void(std::size_t rows, const std::string& path)> exportDurable,
    std::size_t restoredRows)
    : inner_(std::move(inner)),
      durableExportPath_(std::move(durableExportPath)),
      exportDurable_(std::move(exportDurable)),
      restoredRows_(restoredRows) {
  reporter_ = std::thread([this] { ReportDurable(); });
  inner_->OnDurable([this](std::uint64_t durableRows) {
    {
      std::lock_guard lock(mutex_);
      durable_ = durableRows;
    }
    durableChanged_.notify_one();
  });
}

CrashReportingStore::~CrashReportingStore() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  durableChanged_.notify_one();
  reporter_.join();
}

void CrashReportingStore::ReportDurable() {
  for (;;) {
    std::uint64_t durableRows = 0;
    std::size_t restored = 0;
    {
      std::unique_lock lock(mutex_);
      durableChanged_.wait(lock, [this] { return stopping_ || durable_.has_value(); });
      if (!durable_) return;
      durableRows = *durable_;
      durable_.reset();
      restored = restoredRows_;
    }
    // The export first, then the mark: a mark printed means its export is on disk.
    if (exportDurable_) {
      const std::string temporary = durableExportPath_ + ".new";
      exportDurable_(restored + durableRows, temporary);
      std::rename(temporary.c_str(), durableExportPath_.c_str());
    }
    PrintLine("DURABLE " + std::to_string(durableRows));
  }
}

void CrashReportingStore::SetRestoredRows(std::size_t rows) {
  std::lock_guard lock(mutex_);
  restoredRows_ = rows;
}

void CrashReportingStore::RowAppended(const ShopRecord& record) {
  PrintLine("ROW " + std::to_string(record.shopId));
  inner_->RowAppended(record);
}

void CrashReportingStore::Answered(std::int32_t shopId, ShopOutcome outcome) {
  inner_->Answered(shopId, outcome);
}

void CrashReportingStore::Failed(const FailedShop& shop) {
  inner_->Failed(shop);
}

void CrashReportingStore::PlaceMoved(const std::string& place) {
  inner_->PlaceMoved(place);
}

std::vector<FailedShop> CrashReportingStore::FailedShops() {
  return inner_->FailedShops();
}

Expected<std::optional<InterruptedRun>, StoreProblem> CrashReportingStore::Interrupted(
    RunKind kind) {
  return inner_->Interrupted(kind);
}

void CrashReportingStore::BeginRun(RunKind kind, const std::string& place) {
  inner_->BeginRun(kind, place);
}

void CrashReportingStore::ContinueRun(std::int64_t runId) {
  inner_->ContinueRun(runId);
}

void CrashReportingStore::EndRun(bool placeSaved) {
  inner_->EndRun(placeSaved);
}

Expected<std::optional<std::string>, StoreProblem> CrashReportingStore::LastPlace(RunKind kind) {
  return inner_->LastPlace(kind);
}

bool CrashReportingStore::Congested() const {
  return inner_->Congested();
}

bool CrashReportingStore::Flush(std::chrono::milliseconds timeout) {
  return inner_->Flush(timeout);
}

StoreBacklog CrashReportingStore::Backlog() {
  return inner_->Backlog();
}

std::optional<std::string> CrashReportingStore::DurablePlace() {
  return inner_->DurablePlace();
}

void CrashReportingStore::OnTrouble(
    std::function<void(const std::optional<StoreProblem>&)> listener) {
  inner_->OnTrouble(std::move(listener));
}

void CrashReportingStore::SetChangeSource(ChangeSource source) {
  inner_->SetChangeSource(source);
}

void CrashReportingStore::ShopClosed(std::int32_t shopId) {
  inner_->ShopClosed(shopId);
}

void CrashReportingStore::OnDurable(std::function<void(std::uint64_t)>) {
  // This store listens itself; a second listener is not needed by the crash children.
}

Expected<void, StoreProblem> CrashReportingStore::ForEachRow(
    const std::function<void(const ShopRecord&)>& visit) {
  return inner_->ForEachRow(visit);
}

Expected<StoreSummary, StoreProblem> CrashReportingStore::Summary() {
  return inner_->Summary();
}

Expected<std::vector<FailedShop>, StoreProblem> CrashReportingStore::ReadFailedShops() {
  return inner_->ReadFailedShops();
}

Expected<std::vector<ShopToRefresh>, StoreProblem> CrashReportingStore::ShopsToRefresh(
    std::int64_t checkedBeforeMs, std::optional<std::size_t> count) {
  return inner_->ShopsToRefresh(checkedBeforeMs, count);
}

Expected<void, StoreProblem> CrashReportingStore::ForEachRowSince(
    RowsSince kind, std::int64_t sinceMs,
    const std::function<void(const ShopRecord&, const ShopTimes&)>& visit) {
  return inner_->ForEachRowSince(kind, sinceMs, visit);
}

Expected<void, StoreProblem> CrashReportingStore::ForEachChange(
    std::int64_t sinceMs, const std::function<void(const ShopChange&)>& visit) {
  return inner_->ForEachChange(sinceMs, visit);
}

void CrashReportingStore::KeepDictionary(const PageDictionary& dictionary) {
  inner_->KeepDictionary(dictionary);
}

void CrashReportingStore::KeepPage(const PackedPage& page) {
  inner_->KeepPage(page);
}

void CrashReportingStore::SetKeptPagesBudget(std::uint64_t packedBytes) {
  inner_->SetKeptPagesBudget(packedBytes);
}

Expected<std::uint32_t, StoreProblem> CrashReportingStore::NewDictionaryId() {
  return inner_->NewDictionaryId();
}

Expected<void, StoreProblem> CrashReportingStore::ForEachKeptPage(
    std::int32_t from, std::int32_t to,
    const std::function<void(const PackedPage&, const PageDictionary*)>& visit) {
  return inner_->ForEachKeptPage(from, to, visit);
}

Expected<KeptPagesSummary, StoreProblem> CrashReportingStore::KeptPages() {
  return inner_->KeptPages();
}

}  // namespace shopwalk::test
