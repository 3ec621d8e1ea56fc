// Export of a result list of 1,000,000 rows, in each layout: composing the bytes alone, and the
// whole click (composition plus the safe write of the file). Target: under 2 s each.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "collect/controls.h"
#include "collect/gbk.h"
#include "collect/memory_ui.h"
#include "store/export_file.h"
#include "store/export_layout.h"

namespace {

using namespace shopwalk;

constexpr int Rows = 1'000'000;

MemoryUi& FilledList() {
  static MemoryUi* ui = [] {
    auto* list = new MemoryUi;
    const std::string name = Utf8ToGbk("甲乙丙丁小店铺");
    const std::string messenger = Utf8ToGbk("买家");
    for (int i = 0; i < Rows; ++i) {
      int row = list->InsertRow();
      std::string id = std::to_string(109428413 + i);
      list->SetCellText(row, 0, std::to_string(row + 1));
      list->SetCellText(row, 1, name + std::to_string(i % 997));
      list->SetCellText(row, 2, std::to_string(i % 5000));
      list->SetCellText(row, 3, messenger + id);
      list->SetCellText(row, 4, i % 7 == 0 ? std::string("2010-01-01, a,b") : "2010-01-01");
      list->SetCellText(row, 5, "http://shop" + id + ".example.test");
    }
    return list;
  }();
  return *ui;
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
  MemoryUi& ui = FilledList();
  std::size_t bytes = 0;
  for (auto _ : state) {
    ExportText text = ComposeExport(ui, layout);
    bytes = text.bytes.size();
    benchmark::DoNotOptimize(text);
  }
  Report(state, bytes);
}

void Click(benchmark::State& state, ExportLayout layout) {
  MemoryUi& ui = FilledList();
  std::string file =
      ScratchDirectory() + (layout == ExportLayout::Csv ? "/shops.csv" : "/shops.txt");
  ui.SetChecked(ctl::MessengerOnlyCheck, layout == ExportLayout::MessengerOnly);
  ui.SetFileDialogAnswer([file](const std::string&, const std::string&) { return file; });
  for (auto _ : state) OnExportClicked(ui, ScratchDirectory());
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
void BM_ExportClickFull(benchmark::State& s) {
  Click(s, ExportLayout::Full);
}
void BM_ExportClickMessengerOnly(benchmark::State& s) {
  Click(s, ExportLayout::MessengerOnly);
}
void BM_ExportClickCsv(benchmark::State& s) {
  Click(s, ExportLayout::Csv);
}

#define EXPORT_BENCHMARK(name) \
  BENCHMARK(name)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(3)

EXPORT_BENCHMARK(BM_ComposeFull);
EXPORT_BENCHMARK(BM_ComposeMessengerOnly);
EXPORT_BENCHMARK(BM_ComposeCsv);
EXPORT_BENCHMARK(BM_ExportClickFull);
EXPORT_BENCHMARK(BM_ExportClickMessengerOnly);
EXPORT_BENCHMARK(BM_ExportClickCsv);

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
