// The result list with a million rows: how long appending takes, how much memory each row costs
// beyond its cell texts, and how long the view takes to show a page when jumping around in it.
//
//   bench_list [rows]   default 1000000; runs on the offscreen platform unless QT_QPA_PLATFORM
//                       says otherwise
#include <unistd.h>
#include <QApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <filesystem>

#include "app/collector_window.h"
#include "app/dialogs.h"
#include "app/result_model.h"
#include "app/result_view.h"
#include "app/widget_ui.h"
#include "collect/gbk.h"
#include "results/sqlite/sqlite_store.h"

namespace {

long ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const int rows = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000000;

  shopwalk::CollectorWindow window;
  window.show();
  QApplication::processEvents();
  shopwalk::ResultModel& model = window.Results();
  shopwalk::ResultView* view = window.ResultList();

  const std::string shopPrefix = shopwalk::Utf8ToGbk("诚信小店");
  const std::string date = "2009-05-12";
  long textBytes = 0;

  const long residentBefore = ResidentBytes();
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < rows; ++i) {
    const std::string cells[6] = {std::to_string(i + 1),
                                  shopPrefix + std::to_string(i % 9973),
                                  std::to_string(i % 5000),
                                  "seller_" + std::to_string(i * 7 % 100000),
                                  date,
                                  "http://shop" + std::to_string(109428412 + i) + ".velmo.com"};
    const int row = model.InsertRow();
    for (int column = 0; column < 6; ++column) {
      model.SetCellText(row, column, cells[column]);
      textBytes += static_cast<long>(cells[column].size());
    }
    if (i % 10000 == 0) QApplication::processEvents();
  }
  QApplication::processEvents();
  const double appendSeconds = Seconds(std::chrono::steady_clock::now() - start);
  const long growth = ResidentBytes() - residentBefore;

  std::printf("rows appended:             %d (one insert and six cell writes each)\n", rows);
  std::printf("append time:               %.2f s (%.2f us per row)\n", appendSeconds,
              appendSeconds * 1e6 / rows);
  std::printf("resident growth:           %.1f MB, %.1f bytes per row\n", growth / 1e6,
              static_cast<double>(growth) / rows);
  std::printf("cell texts:                %.1f bytes per row\n",
              static_cast<double>(textBytes) / rows);
  std::printf("beyond the texts:          %.1f bytes per row (target < 200)\n",
              static_cast<double>(growth - textBytes) / rows);

  // Jump to random rows and repaint the page each time, as scrolling does.
  std::mt19937 random(42);
  std::uniform_int_distribution<int> anyRow(0, rows - 1);
  std::vector<double> frames;
  frames.reserve(1000);
  for (int i = 0; i < 1000; ++i) {
    const int row = i == 0 ? rows - 1 : anyRow(random);
    QElapsedTimer frame;
    frame.start();
    view->scrollTo(model.index(row, 0), QAbstractItemView::PositionAtCenter);
    view->viewport()->repaint();
    QApplication::processEvents();
    frames.push_back(static_cast<double>(frame.nsecsElapsed()) / 1e6);
  }
  std::sort(frames.begin(), frames.end());
  std::printf(
      "scroll to a random row:    median %.2f ms, 99th percentile %.2f ms, worst %.2f ms "
      "(1000 jumps)\n",
      frames[frames.size() / 2], frames[frames.size() * 99 / 100], frames.back());

  // Recovery at start: an interrupted run of `rows` rows read from the results store and put
  // back into a fresh window's list (target: under 3 s).
  char folder[] = "/tmp/bench_list_XXXXXX";
  if (mkdtemp(folder) == nullptr) return 1;
  const std::string path = std::string(folder) + "/shopwalk.db";
  {
    auto opened = shopwalk::SqliteStore::OpenForWalking(path);
    if (!opened) return 1;
    (*opened)->BeginRun(shopwalk::RunKind::Window, "109428412");
    for (int i = 0; i < rows; ++i) {
      shopwalk::ShopRecord record;
      record.shopId = 109428413 + i;
      record.name = shopPrefix + std::to_string(i % 9973);
      record.reputation = std::to_string(i % 5000);
      record.messenger = "seller_" + std::to_string(i * 7 % 100000);
      record.openingDate = date;
      record.address = "http://shop" + std::to_string(record.shopId) + ".velmo.com";
      (*opened)->RowAppended(record);
    }
    (*opened)->PlaceMoved(std::to_string(109428412 + rows));
    (*opened)->Flush(std::chrono::minutes(5));
  }
  auto reopened = shopwalk::SqliteStore::OpenForWalking(path);
  if (!reopened) return 1;
  shopwalk::CollectorWindow fresh;
  fresh.show();
  shopwalk::QtDialogHost dialogs;
  shopwalk::WidgetUi ui(fresh, dialogs);
  const auto recoveryStart = std::chrono::steady_clock::now();
  const auto interrupted = (*reopened)->Interrupted(shopwalk::RunKind::Window).value();
  const double readSeconds = Seconds(std::chrono::steady_clock::now() - recoveryStart);
  if (!interrupted) return 1;
  ui.RestoreRows(interrupted->rows);
  QApplication::processEvents();
  const double recoverySeconds = Seconds(std::chrono::steady_clock::now() - recoveryStart);
  std::printf(
      "recovery of %d rows:      %.2f s in all (%.2f s reading the store, %.2f s into the "
      "list; target < 3 s)\n",
      fresh.Results().RowCount(), recoverySeconds, readSeconds, recoverySeconds - readSeconds);
  reopened->reset();
  std::filesystem::remove_all(folder);
  return 0;
}
