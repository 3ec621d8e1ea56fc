// Throughput of TextBetween on a 1 MiB HTML-like GBK page whose left marker lies near the end,
// beside std::string_view::find of the same marker on the same page. Prints MB/s for both and
// their ratio (the target is at least 0.25).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "collect/gbk.h"
#include "collect/text.h"

namespace {

constexpr std::size_t PageSize = std::size_t{1} << 20;

const std::string& LeftMarker() {
  static const std::string marker = "<span class=" + std::string(shopwalk::QuotePlaceholder) +
                                    "shop-nick" + std::string(shopwalk::QuotePlaceholder) + ">";
  return marker;
}

// The left marker as it stands in the page.
const std::string LeftInPage = "<span class=\"shop-nick\">";
const std::string Right = "</span>";

// Rows of a shop listing with GBK text; the marker follows 1 KiB before the end.
const std::string& Page() {
  static const std::string page = [] {
    const std::string row = shopwalk::Utf8ToGbk(
        "<li class=\"item\"><a href=\"http://shop1234.example/item.htm?id=5678\" "
        "title=\"宝贝名称\">新款 宝贝 包邮</a><span class=\"price\">￥12.50</span>"
        "<span class=\"shop-name\">小店</span></li>\r\n");
    std::string p;
    while (p.size() + row.size() < PageSize - 1024) p += row;
    p += LeftInPage + shopwalk::Utf8ToGbk("某某旗舰店") + Right;
    while (p.size() + row.size() <= PageSize) p += row;
    p.append(PageSize - p.size(), ' ');
    return p;
  }();
  return page;
}

void BM_TextBetween(benchmark::State& state) {
  const std::string& page = Page();
  for (auto _ : state) {
    std::string nick = shopwalk::TextBetween(page, LeftMarker(), Right);
    if (nick.empty()) state.SkipWithError("marker not found");
    benchmark::DoNotOptimize(nick);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
}
BENCHMARK(BM_TextBetween);

void BM_StringViewFind(benchmark::State& state) {
  const std::string_view page = Page();
  for (auto _ : state) {
    std::size_t at = page.find(LeftInPage);
    if (at == std::string_view::npos) state.SkipWithError("marker not found");
    benchmark::DoNotOptimize(at);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
}
BENCHMARK(BM_StringViewFind);

void BM_FindTextCaseInsensitive(benchmark::State& state) {
  const std::string& page = Page();
  for (auto _ : state) {
    int at = shopwalk::FindText(page, LeftInPage, 0, true);
    if (at < 0) state.SkipWithError("marker not found");
    benchmark::DoNotOptimize(at);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
}
BENCHMARK(BM_FindTextCaseInsensitive);

// Prints as usual and keeps the best page throughput (per CPU second, like bytes_per_second) of
// each benchmark.
class RateReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      if (run.cpu_accumulated_time <= 0) continue;
      const double rate = static_cast<double>(run.iterations) * static_cast<double>(PageSize) /
                          run.cpu_accumulated_time / 1e6;
      double& best = rates[run.run_name.function_name];
      if (rate > best) best = rate;
    }
  }
  std::map<std::string, double> rates;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  for (const auto& [name, rate] : reporter.rates)
    std::printf("%-28s %10.1f MB/s\n", name.c_str(), rate);
  const double between = reporter.rates["BM_TextBetween"];
  const double find = reporter.rates["BM_StringViewFind"];
  if (between > 0 && find > 0) {
    std::printf("TextBetween / string_view::find = %.2f (target >= 0.25)\n", between / find);
  }
  return 0;
}
