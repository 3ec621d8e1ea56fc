// Export of a result list of 1,000,000 rows, in each layout: composing the bytes alone, and the
// whole export (composition plus the write of the file). Target: under 2 s each.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include <vector>

#include "collect/gbk.h"
#include "store/export_layout.h"

namespace {

using namespace shopwalk;

constexpr int Rows = 1'000'000;

class FilledRows : public ResultRows {
 public:
  FilledRows() {
    const std::string name = Utf8ToGbk("甲乙丙丁小店铺");
    const std::string messenger = Utf8ToGbk("买家");
    rows_.reserve(Rows);
    for (int i = 0; i < Rows; ++i) {
      std::string id = std::to_string(109428413 + i);
      rows_.push_back({std::to_string(i + 1), name + std::to_string(i % 997),
                       std::to_string(i % 5000), messenger + id,
                       i % 7 == 0 ? std::string("2010-01-01, a,b") : "2010-01-01",
                       "http://shop" + id + ".example.test"});
    }
  }
  int RowCount() const override { return static_cast<int>(rows_.size()); }
  std::string CellText(int row, int column) const override {
    return rows_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)];
  }

 private:
  std::vector<ResultRow> rows_;
};

const FilledRows& FilledList() {
  static const FilledRows* rows = new FilledRows;
  return *rows;
}

std::string ScratchDirectory() {
  static std::string path = [] {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/bench_export_XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern;
  }();
  return path;
}

void Report(benchmark::State& state, std::size_t bytes) {
  state.counters["rows"] = Rows;
  state.counters["MB"] = static_cast<double>(bytes) / 1e6;
}

void Compose(benchmark::State& state, ExportLayout layout) {
  const FilledRows& rows = FilledList();
  std::size_t bytes = 0;
  for (auto _ : state) {
    ExportText text = ComposeExport(rows, layout);
    bytes = text.bytes.size();
    benchmark::DoNotOptimize(text);
  }
  Report(state, bytes);
}

void Export(benchmark::State& state, ExportLayout layout) {
  const FilledRows& rows = FilledList();
  std::string file =
      ScratchDirectory() + (layout == ExportLayout::Csv ? "/shops.csv" : "/shops.txt");
  for (auto _ : state) {
    if (!WriteExport(file, ComposeExport(rows, layout))) std::abort();
  }
  Report(state, std::filesystem::file_size(file));
  std::filesystem::remove(file);
}

void BM_ComposeFull(benchmark::State& s) {
  Compose(s, ExportLayout::Full);
}
void BM_ComposeMessengerOnly(benchmark::State& s) {
  Compose(s, ExportLayout::MessengerOnly);
}
void BM_ComposeCsv(benchmark::State& s) {
  Compose(s, ExportLayout::Csv);
}
void BM_ExportFull(benchmark::State& s) {
  Export(s, ExportLayout::Full);
}
void BM_ExportMessengerOnly(benchmark::State& s) {
  Export(s, ExportLayout::MessengerOnly);
}
void BM_ExportCsv(benchmark::State& s) {
  Export(s, ExportLayout::Csv);
}

#define EXPORT_BENCHMARK(name) \
  BENCHMARK(name)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(3)

EXPORT_BENCHMARK(BM_ComposeFull);
EXPORT_BENCHMARK(BM_ComposeMessengerOnly);
EXPORT_BENCHMARK(BM_ComposeCsv);
EXPORT_BENCHMARK(BM_ExportFull);
EXPORT_BENCHMARK(BM_ExportMessengerOnly);
EXPORT_BENCHMARK(BM_ExportCsv);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::printf("filling a list of %d rows...\n", Rows);
  FilledList();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove_all(ScratchDirectory());
  return 0;
}
