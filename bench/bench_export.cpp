// Export of a result list of 1,000,000 rows in each form: composing the bytes alone (text, CSV,
// JSON Lines, in GBK and UTF-8), and the whole export through ExportRows (composition plus the
// write of the file; for the workbook, libxlsxwriter's constant-memory writing and the zip).
// Targets: under 3 s each, the workbook under 10 s. "extra_MB" is how far the process's peak
// resident memory rose above its size before the export (the list itself excluded).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "collect/gbk.h"
#include "store/export_layout.h"
#include "store/export_rows.h"

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

// A line of /proc/self/status in kB ("VmRSS", "VmHWM"); 0 when it cannot be read.
double StatusKb(const std::string& key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(key + ":", 0) == 0) return std::stod(line.substr(key.size() + 1));
  }
  return 0;
}

// Sets the peak resident size back to the current one.
void ResetPeakMemory() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

void Report(benchmark::State& state, std::size_t bytes) {
  state.counters["rows"] = Rows;
  state.counters["MB"] = static_cast<double>(bytes) / 1e6;
}

void Compose(benchmark::State& state, ExportLayout layout, ExportEncoding encoding) {
  const FilledRows& rows = FilledList();
  std::size_t bytes = 0;
  for (auto _ : state) {
    ExportText text = ComposeExport(rows, layout, encoding);
    bytes = text.bytes.size();
    benchmark::DoNotOptimize(text);
  }
  Report(state, bytes);
}

void Export(benchmark::State& state, const std::string& name, bool messengerOnly,
            ExportEncoding encoding) {
  const FilledRows& rows = FilledList();
  const std::string file = ScratchDirectory() + "/" + name;
  const ExportOptions options{FormatForFileName(name), messengerOnly, encoding};
  double extraKb = 0;
  for (auto _ : state) {
    const double before = StatusKb("VmRSS");
    ResetPeakMemory();
    const WriteResult written = ExportRows(rows, file, options);
    if (!written) {
      std::fprintf(stderr, "%s: %s\n", file.c_str(), written.reason.c_str());
      std::abort();
    }
    extraKb = std::max(extraKb, StatusKb("VmHWM") - before);
  }
  Report(state, std::filesystem::file_size(file));
  state.counters["extra_MB"] = extraKb / 1e3;
  std::filesystem::remove(file);
}

constexpr ExportEncoding Gbk = ExportEncoding::Gbk;
constexpr ExportEncoding Utf8 = ExportEncoding::Utf8;

#define EXPORT_BENCHMARK(name, ...) \
  BENCHMARK_CAPTURE(name, __VA_ARGS__)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(3)

EXPORT_BENCHMARK(Compose, Full, ExportLayout::Full, Gbk);
EXPORT_BENCHMARK(Compose, MessengerOnly, ExportLayout::MessengerOnly, Gbk);
EXPORT_BENCHMARK(Compose, Csv, ExportLayout::Csv, Gbk);
EXPORT_BENCHMARK(Compose, FullUtf8, ExportLayout::Full, Utf8);
EXPORT_BENCHMARK(Compose, CsvUtf8, ExportLayout::Csv, Utf8);
EXPORT_BENCHMARK(Compose, Jsonl, ExportLayout::Jsonl, Gbk);
EXPORT_BENCHMARK(Export, Full, "shops.txt", false, Gbk);
EXPORT_BENCHMARK(Export, MessengerOnly, "shops.txt", true, Gbk);
EXPORT_BENCHMARK(Export, Csv, "shops.csv", false, Gbk);
EXPORT_BENCHMARK(Export, FullUtf8, "shops.txt", false, Utf8);
EXPORT_BENCHMARK(Export, CsvUtf8, "shops.csv", false, Utf8);
EXPORT_BENCHMARK(Export, Jsonl, "shops.jsonl", false, Gbk);
EXPORT_BENCHMARK(Export, Xlsx, "shops.xlsx", false, Gbk);

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
