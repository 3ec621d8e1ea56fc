// Operations from worker threads: carried to the UI thread in order, through modal boxes, and
// released for good when the window closes; writes posted without waiting, in a bounded queue;
// progress texts and appended rows shown as a full repaint would show them.
#include <QApplication>
#include <QEventLoop>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "app/caption_group_box.h"
#include "app/collector_window.h"
#include "app/dialogs.h"
#include "app/int_edit.h"
#include "app/qt_collector_ui.h"
#include "app/result_model.h"
#include "app/result_view.h"
#include "app/status_panes.h"
#include "app/ui_bridge.h"
#include "collect/gbk.h"

using namespace shopwalk;
using namespace std::chrono_literals;

namespace {

constexpr auto Patience = std::chrono::seconds(20);

// Waits, without processing UI events, until `done` holds; false after the time-out.
template <class Predicate>
bool WaitWithoutEvents(Predicate done) {
  const auto deadline = std::chrono::steady_clock::now() + Patience;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Joins the threads, or ends the test program if one is stuck (a blocked caller is the fault
// being tested for; joining it would hang).
void JoinOrDie(std::vector<std::thread>& threads, std::atomic<int>& finished) {
  if (!WaitWithoutEvents([&] { return finished.load() == static_cast<int>(threads.size()); })) {
    std::fprintf(stderr, "FAIL: %d of %zu threads still blocked\n",
                 static_cast<int>(threads.size()) - finished.load(), threads.size());
    std::_Exit(1);
  }
  for (auto& thread : threads) thread.join();
}

// Processes UI events until `done` holds; false after the time-out.
template <class Predicate>
bool ProcessEventsUntil(Predicate done) {
  const auto deadline = std::chrono::steady_clock::now() + Patience;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return true;
}

ShopRecord RecordNamed(const std::string& name) {
  ShopRecord record;
  record.name = record.reputation = record.messenger = record.openingDate = record.address = name;
  return record;
}

class NoDialogs : public DialogHost {
 public:
  int ShowMessage(const QString&, int, const QString&) override { return 0; }
  std::optional<SaveDialogAnswer> AskSaveFileName(const SaveDialogRequest&) override { return {}; }
};

}  // namespace

class BridgeTest : public QObject {
  Q_OBJECT

 private slots:
  void runsOnTheUiThreadInCallOrder() {
    UiBridge bridge;
    QThread* ui = QThread::currentThread();
    std::vector<int> order;
    std::atomic<bool> allOnUi{true};
    std::atomic<int> refused{0};
    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        const bool ran = bridge.Run([&, i] {
          if (QThread::currentThread() != ui) allOnUi = false;
          order.push_back(i);
        });
        if (!ran) ++refused;
      }
      ++finished;
    });
    QTRY_COMPARE_WITH_TIMEOUT(finished.load(), 1, 20000);
    JoinOrDie(threads, finished);
    QCOMPARE(refused.load(), 0);
    QVERIFY(allOnUi);
    QCOMPARE(order.size(), 200u);
    for (int i = 0; i < 200; ++i) QCOMPARE(order[i], i);
  }

  void resultsComeBackAndUiCallsRunAtOnce() {
    UiBridge bridge;
    QVERIFY(bridge.OnUiThread());
    int ran = 0;
    QVERIFY(bridge.Run([&] { ++ran; }));
    QCOMPARE(ran, 1);  // no event processing needed
    QCOMPARE(bridge.Call([] { return 42; }), 42);
    std::atomic<int> finished{0};
    std::string fromWorker;
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
      fromWorker = bridge.Call([] { return std::string("from ui"); });
      ++finished;
    });
    QTRY_COMPARE_WITH_TIMEOUT(finished.load(), 1, 20000);
    JoinOrDie(threads, finished);
    QCOMPARE(fromWorker, std::string("from ui"));
  }

  void callsGoThroughWhileAModalBoxIsOpen() {
    UiBridge bridge;
    std::atomic<int> done{0};
    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    // A box opened on the UI thread (as the closing question is) ...
    QTimer::singleShot(0, [&] {
      threads.emplace_back([&] {
        for (int i = 0; i < 50; ++i) bridge.Run([&] { ++done; });
        ++finished;
      });
    });
    auto* closer = new QTimer;
    connect(closer, &QTimer::timeout, closer, [&, closer] {
      if (finished.load() == 1) {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
          closer->stop();
          closer->deleteLater();
          box->done(0);
        }
      }
    });
    closer->start(5);
    QtDialogHost host;
    host.ShowMessage(QStringLiteral("modal"), 0, QStringLiteral("信息："));
    QCOMPARE(done.load(), 50);
    JoinOrDie(threads, finished);

    // ... and one opened by a bridged call itself: later calls still run, in order.
    std::vector<int> order;
    std::atomic<bool> nestedLoopOpen{false};
    std::atomic<int> finishedB{0};
    std::vector<std::thread> second;
    second.emplace_back([&] {
      bridge.Run([&] {
        order.push_back(0);
        nestedLoopOpen = true;
        QEventLoop nested;
        auto* poll = new QTimer(&nested);
        connect(poll, &QTimer::timeout, &nested, [&] {
          if (order.size() == 11) nested.quit();
        });
        poll->start(5);
        nested.exec();
      });
      ++finishedB;
    });
    second.emplace_back([&] {
      while (!nestedLoopOpen) std::this_thread::yield();
      for (int i = 1; i <= 10; ++i) bridge.Run([&, i] { order.push_back(i); });
      ++finishedB;
    });
    QTRY_COMPARE_WITH_TIMEOUT(finishedB.load(), 2, 20000);
    JoinOrDie(second, finishedB);
    QCOMPARE(order.size(), 11u);
    for (int i = 0; i <= 10; ++i) QCOMPARE(order[i], i);
  }

  void closeReleasesWaitingCallersAndRefusesLaterOnes() {
    UiBridge bridge;
    std::atomic<int> finished{0};
    std::atomic<int> refused{0};
    std::atomic<int> ran{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&] {
        if (!bridge.Run([&] { ++ran; })) ++refused;
        ++finished;
      });
    }
    // The UI thread does not process events: all four wait in the queue.
    QVERIFY(WaitWithoutEvents([&] { return bridge.PendingCount() == 4; }));
    bridge.Close();
    JoinOrDie(threads, finished);
    QCOMPARE(refused.load(), 4);
    QCOMPARE(ran.load(), 0);
    // Their posted events find nothing left to run.
    QCoreApplication::processEvents();
    QCOMPARE(ran.load(), 0);
    // Later calls return at once with the fallback, on any thread.
    QVERIFY(!bridge.Run([&] { ++ran; }));
    QCOMPARE(bridge.Call([] { return 7; }, -1), -1);
    int lateResult = 0;
    std::thread late([&] { lateResult = bridge.Call([] { return 7; }, -1); });
    late.join();
    QCOMPARE(lateResult, -1);
    QCOMPARE(ran.load(), 0);
    bridge.Close();  // idempotent
  }

  void postedWritesRunInCallOrderWithTheReads() {
    UiBridge bridge;
    std::vector<int> applied;
    std::vector<std::size_t> seenByReads;
    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
      for (int i = 0; i < 300; ++i) {
        bridge.Post([&applied, i] { applied.push_back(i); });
        // A read sees every write the thread posted before it.
        if (i % 7 == 0) seenByReads.push_back(bridge.Call([&] { return applied.size(); }));
      }
      ++finished;
    });
    QVERIFY(ProcessEventsUntil([&] { return finished.load() == 1; }));
    JoinOrDie(threads, finished);
    QVERIFY(ProcessEventsUntil([&] { return applied.size() == 300u; }));
    for (int i = 0; i < 300; ++i) QCOMPARE(applied[i], i);
    QCOMPARE(seenByReads.size(), 43u);
    for (std::size_t k = 0; k < seenByReads.size(); ++k) QCOMPARE(seenByReads[k], 7 * k + 1);

    // Through the window's operations: each read gives back the text just written.
    NoDialogs dialogs;
    CollectorWindow window;
    QtCollectorUi ui(window, dialogs, bridge);
    int mismatches = 0;
    std::atomic<int> finishedWriter{0};
    std::vector<std::thread> writer;
    writer.emplace_back([&] {
      for (int i = 0; i < 100; ++i) {
        const std::string id = std::to_string(109428412 + i);
        ui.SetShopIdText(id);
        ui.ShowCollecting("http://shop" + id + ".velmo.com");
        if (ui.ShopIdText() != id) ++mismatches;
      }
      ++finishedWriter;
    });
    QVERIFY(ProcessEventsUntil([&] { return finishedWriter.load() == 1; }));
    JoinOrDie(writer, finishedWriter);
    QCOMPARE(mismatches, 0);
    // The writes land in order.
    QVERIFY(ProcessEventsUntil([&] { return bridge.PendingCount() == 0; }));
    QCOMPARE(window.ShopIdField()->text(), QStringLiteral("109428511"));
    QCOMPARE(window.Status()->PaneText(1),
             QStringLiteral("正在采集店铺：http://shop109428511.velmo.com"));
  }

  void writesReturnWithoutWaitingForTheUiThread() {
    UiBridge bridge;
    NoDialogs dialogs;
    CollectorWindow window;
    QtCollectorUi ui(window, dialogs, bridge);
    std::atomic<bool> written{false};
    std::atomic<bool> shopIdRead{false};
    std::atomic<int> finished{0};
    std::string readBack, threadCount;
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
      {
        // The operations keep their own copies: the caller's text is gone when they run.
        std::string id = "42";
        ui.SetShopIdText(id);
        id.assign("xx");
        std::string url = "http://shop42.velmo.com";
        ui.ShowCollecting(url);
        url.assign(url.size(), '?');
      }
      ui.AddRow(RecordNamed(Utf8ToGbk("店")));
      ui.SetThreadCountText("7");
      ui.SetSettingsGroupColor(0x00FF0000);
      ui.ShowNote("备注");
      ui.SetInitialDirectory("/tmp");
      ui.FreezeRunControls();
      written = true;
      // The shop-ID field is read from its copy, without the UI thread; other reads wait.
      readBack = ui.ShopIdText();
      shopIdRead = true;
      threadCount = ui.ThreadCountText();
      ++finished;
    });
    // The UI thread processes no events: the writes return all the same, the read waits.
    QVERIFY(WaitWithoutEvents(
        [&] { return written.load() && shopIdRead.load() && bridge.PendingCount() == 9; }));
    QCOMPARE(readBack, std::string("42"));
    QCOMPARE(finished.load(), 0);
    QCOMPARE(window.Results().RowCount(), 0);
    QVERIFY(window.ShopIdField()->text() != QStringLiteral("42"));
    QVERIFY(ProcessEventsUntil([&] { return finished.load() == 1; }));
    JoinOrDie(threads, finished);
    QCOMPARE(threadCount, std::string("7"));
    QCOMPARE(window.ShopIdField()->text(), QStringLiteral("42"));
    QCOMPARE(window.Results().RowCount(), 1);
    QCOMPARE(window.Results().GetCellText(0, 1), Utf8ToGbk("店"));
    QCOMPARE(window.ThreadCountField()->text(), QStringLiteral("7"));
    QCOMPARE(window.SettingsGroup()->CaptionColor(), QColor(0, 0, 0xFF));
    QCOMPARE(window.Status()->PaneText(1), QStringLiteral("备注"));
    QVERIFY(window.ShopIdField()->isHidden());
  }

  void postedWritesAfterCloseAreDropped() {
    UiBridge bridge;
    NoDialogs dialogs;
    auto* window = new CollectorWindow;
    window->SetBridge(&bridge);
    window->show();
    QtCollectorUi ui(*window, dialogs, bridge);
    std::atomic<bool> posted{false};
    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        ui.AddRow(RecordNamed(std::to_string(i)));
        ui.ShowCollecting("http://shop1.velmo.com");
        ui.SetShopIdText(std::to_string(i));
      }
      posted = true;
      ++finished;
    });
    // Queued while the UI thread is busy elsewhere, then the window closes and goes.
    QVERIFY(WaitWithoutEvents([&] { return posted.load() && bridge.PendingCount() == 150; }));
    JoinOrDie(threads, finished);
    QVERIFY(window->close());
    QCOMPARE(bridge.PendingCount(), 0u);
    delete window;
    // Nothing queued reaches the deleted widgets; later writes return at once and run nowhere.
    int ran = 0;
    QVERIFY(!bridge.Post([&] { ++ran; }));
    std::thread late([&] {
      ui.AddRow(RecordNamed("late"));
      ui.SetShopIdText("1");
      if (bridge.Post([&] { ++ran; })) ++ran;
    });
    late.join();
    QCoreApplication::processEvents();
    QCOMPARE(ran, 0);
    QCOMPARE(ui.ShopIdText(), std::string());
  }

  void aFullQueueHoldsWritersBack() {
    UiBridge bridge(4);
    std::vector<int> applied;
    std::atomic<int> posted{0};
    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i) {
        bridge.Post([&applied, i] { applied.push_back(i); });
        ++posted;
      }
      ++finished;
    });
    // Four wait; the fifth write waits for room, however long the UI thread is busy.
    QVERIFY(WaitWithoutEvents([&] { return posted.load() == 4; }));
    QVERIFY(WaitWithoutEvents([&] { return bridge.PendingCount() == 4; }));
    QCOMPARE(finished.load(), 0);
    QVERIFY(ProcessEventsUntil([&] { return finished.load() == 1; }));
    JoinOrDie(threads, finished);
    QVERIFY(ProcessEventsUntil([&] { return applied.size() == 10u; }));
    for (int i = 0; i < 10; ++i) QCOMPARE(applied[i], i);

    // A writer held back by a full queue is released when the bridge closes.
    std::atomic<int> refused{0};
    std::atomic<int> finishedHeld{0};
    std::vector<std::thread> held;
    held.emplace_back([&] {
      for (int i = 0; i < 10; ++i) {
        if (!bridge.Post([&applied] { applied.push_back(-1); })) ++refused;
      }
      ++finishedHeld;
    });
    QVERIFY(WaitWithoutEvents([&] { return bridge.PendingCount() == 4; }));
    bridge.Close();
    JoinOrDie(held, finishedHeld);
    QCOMPARE(refused.load(), 6);
    QCoreApplication::processEvents();
    QCOMPARE(applied.size(), 10u);
  }

  void paneTextsShowTheLatestOncePerFrame() {
    StatusPanes panes;
    panes.resize(575, StatusPanes::Height);
    panes.show();
    QVERIFY(QTest::qWaitForWindowExposed(&panes));
    QVERIFY(ProcessEventsUntil([&] { return true; }));
    // Many texts in a row without the event loop running: the first is shown at once (nothing
    // was shown for a while), the others wait for the frame's end, where only the last is shown.
    for (int i = 1; i <= 100; ++i) {
      panes.SetPaneText(1, QStringLiteral("正在采集店铺：http://shop%1.velmo.com").arg(i));
      panes.SetPaneText(0, QStringLiteral("已采集：%1个").arg(i));
      QCOMPARE(panes.PaneText(1), QStringLiteral("正在采集店铺：http://shop%1.velmo.com").arg(i));
    }
    QVERIFY(panes.Pane(1)->text() != panes.PaneText(1));
    QTRY_COMPARE_WITH_TIMEOUT(panes.Pane(1)->text(),
                              QStringLiteral("正在采集店铺：http://shop100.velmo.com"), 20000);
    QCOMPARE(panes.Pane(0)->text(), QStringLiteral("已采集：100个"));
    QCOMPARE(panes.PaneText(0), QStringLiteral("已采集：100个"));
    // The text a pane already has changes nothing.
    panes.SetPaneText(0, QStringLiteral("已采集：100个"));
    QCOMPARE(panes.Pane(0)->text(), QStringLiteral("已采集：100个"));
    QCOMPARE(panes.PaneText(2), QStringLiteral("软件制作：Mivu"));
  }

  void rowsAndProgressLookAsAFullRepaintWouldShowThem() {
    // Appends repaint only what they change; the window must still look exactly as a full
    // repaint draws it, as the rows fill the list, overflow it and the scroll bar shrinks.
    UiBridge bridge;
    NoDialogs dialogs;
    CollectorWindow window;
    QtCollectorUi ui(window, dialogs, bridge);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.setFocus();
    auto shown = [&] {
      return window.screen()
          ->grabWindow(window.winId())
          .toImage()
          .convertToFormat(QImage::Format_RGB32);
    };
    auto drawn = [&] { return window.grab().toImage().convertToFormat(QImage::Format_RGB32); };
    auto settle = [&] {
      return ProcessEventsUntil([&] {
        return bridge.PendingCount() == 0 &&
               window.Status()->Pane(1)->text() == window.Status()->PaneText(1);
      });
    };
    int added = 0;
    for (int batch : {1, 5, 13, 1, 1, 20, 60, 1, 200}) {
      std::atomic<int> finished{0};
      std::vector<std::thread> threads;
      threads.emplace_back([&, batch] {
        for (int i = 0; i < batch; ++i) {
          const std::string id = std::to_string(added + i);
          ui.SetShopIdText(id);
          ui.ShowCollecting("http://shop" + id + ".velmo.com");
          ui.AddRow(RecordNamed(Utf8ToGbk("店铺") + id));
        }
        ++finished;
      });
      QVERIFY(ProcessEventsUntil([&] { return finished.load() == 1; }));
      JoinOrDie(threads, finished);
      added += batch;
      QVERIFY(settle());
      QCoreApplication::processEvents();
      QCOMPARE(window.Results().RowCount(), added);
      QVERIFY2(shown() == drawn(), qPrintable(QStringLiteral("after %1 rows").arg(added)));
      // The scroll bar's range is what a full layout of the list gives.
      QScrollBar* bar = window.ResultList()->verticalScrollBar();
      const int maximum = bar->maximum();
      const int pageStep = bar->pageStep();
      window.ResultList()->doItemsLayout();
      QCOMPARE(bar->maximum(), maximum);
      QCOMPARE(bar->pageStep(), pageStep);
    }
    QVERIFY(window.ResultList()->verticalScrollBar()->isVisible());
  }

  void twentyThreadsHammerWhileTheWindowCloses() {
    for (bool questionOnClose : {false, true}) {
      UiBridge bridge;
      NoDialogs dialogs;
      auto* window = new CollectorWindow;
      window->SetBridge(&bridge);
      QtCollectorUi ui(*window, dialogs, bridge);
      std::atomic<int> progressDuringQuestion{-1};
      if (questionOnClose) {
        // The closing question: a nested event loop that lasts until the workers have
        // completed more calls while it is open.
        WindowHandlers handlers;
        handlers.onDestroyed = [&] {
          const int before = window->Results().RowCount();
          QEventLoop question;
          auto* poll = new QTimer(&question);
          connect(poll, &QTimer::timeout, &question, [&] {
            if (window->Results().RowCount() >= before + 40) question.quit();
          });
          poll->start(1);
          QTimer::singleShot(Patience, &question, &QEventLoop::quit);
          question.exec();
          progressDuringQuestion = window->Results().RowCount() - before;
        };
        window->SetHandlers(handlers);
      }
      window->show();

      std::atomic<bool> stop{false};
      std::atomic<int> calls{0};
      std::atomic<int> finished{0};
      std::vector<std::thread> threads;
      for (int t = 0; t < 20; ++t) {
        threads.emplace_back([&, t] {
          ShopRecord record;
          record.name = record.reputation = record.messenger = record.openingDate = record.address =
              Utf8ToGbk("店铺" + std::to_string(t));
          while (!stop) {
            // A row is one operation: its cells never mix with another thread's.
            ui.AddRow(record);
            ui.ShowCollecting(record.address);
            ui.SetShopIdText(std::to_string(t));
            ui.ThreadCountText();
            ui.ShopIdText();
            ++calls;
          }
          ++finished;
        });
      }
      QTRY_VERIFY_WITH_TIMEOUT(calls.load() >= 200, 20000);
      QVERIFY(window->close());
      // Nobody may stay blocked now, although the UI thread no longer serves calls.
      QVERIFY(bridge.IsClosed());
      // Rows are whole: numbered by position, five equal cells.
      const ResultModel& rows = window->Results();
      const int rowsAtClose = rows.RowCount();
      int tornRows = 0;
      for (int row = 0; row < rowsAtClose; ++row) {
        if (rows.GetCellText(row, 0) != std::to_string(row + 1)) ++tornRows;
        const std::string first = rows.GetCellText(row, 1);
        for (int column = 2; column < 6; ++column) {
          if (rows.GetCellText(row, column) != first) ++tornRows;
        }
      }
      delete window;  // widgets gone while the threads keep calling
      const int callsAtClose = calls.load();
      QVERIFY(WaitWithoutEvents([&] { return calls.load() >= callsAtClose + 100; }));
      stop = true;
      JoinOrDie(threads, finished);
      QCOMPARE(ui.ShopIdText(), std::string());
      QCOMPARE(ui.ThreadCountText(), std::string());
      QVERIFY(rowsAtClose > 0);
      if (questionOnClose) QVERIFY(progressDuringQuestion.load() >= 40);
      QCOMPARE(tornRows, 0);
    }
  }

  void atomicRowsAreNeverInterleaved() {
    UiBridge bridge;
    NoDialogs dialogs;
    CollectorWindow window;
    QtCollectorUi ui(window, dialogs, bridge);
    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([&, t] {
        ShopRecord record;
        record.name = record.reputation = record.messenger = record.openingDate = record.address =
            std::to_string(t);
        for (int i = 0; i < 50; ++i) ui.AddRow(record);
        ++finished;
      });
    }
    QTRY_COMPARE_WITH_TIMEOUT(finished.load(), 8, 20000);
    JoinOrDie(threads, finished);
    const ResultModel& rows = window.Results();
    // The rows were posted; the last of them reach the list once the UI thread runs.
    QTRY_COMPARE_WITH_TIMEOUT(rows.RowCount(), 400, 20000);
    for (int row = 0; row < 400; ++row) {
      QCOMPARE(rows.GetCellText(row, 0), std::to_string(row + 1));
      const std::string first = rows.GetCellText(row, 1);
      for (int column = 2; column < 6; ++column) QCOMPARE(rows.GetCellText(row, column), first);
    }
  }

  void operationsReachTheWidgets() {
    UiBridge bridge;
    NoDialogs dialogs;
    CollectorWindow window;
    QtCollectorUi ui(window, dialogs, bridge);
    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    std::string shopId, oddBytes, edited;
    bool checked = false;
    threads.emplace_back([&] {
      ui.SetShopIdText("109428413");
      shopId = ui.ShopIdText();
      ui.FreezeRunControls();
      ui.SetSettingsGroupColor(0x00FF8000);  // blue 0xFF, green 0x80, red 0
      ui.ShowCollecting("http://shop1.velmo.com");
      checked = ui.MessengerOnlyChecked();
      ui.SetThreadCountText("007");
      // Bytes that are no valid GBK come back as they were written.
      ui.SetThreadCountText(
          "12\xFF"
          "3");
      oddBytes = ui.ThreadCountText();
      ++finished;
    });
    QTRY_COMPARE_WITH_TIMEOUT(finished.load(), 1, 20000);
    JoinOrDie(threads, finished);
    QCOMPARE(shopId, std::string("109428413"));
    QVERIFY(!window.StartButton()->isEnabled());
    QVERIFY(!window.StopButton()->isEnabled());
    QVERIFY(window.ExportButton()->isEnabled());
    QVERIFY(window.ShopIdField()->isHidden());
    QCOMPARE(window.SettingsGroup()->CaptionColor(), QColor(0, 0x80, 0xFF));
    QCOMPARE(window.Status()->PaneText(1), QStringLiteral("正在采集店铺：http://shop1.velmo.com"));
    QVERIFY(checked);
    QCOMPARE(oddBytes, std::string("12\xFF"
                                   "3"));
    QCOMPARE(window.ThreadCountField()->text(), QStringLiteral("12\uFFFD3"));
    // Text the user typed is read from the field.
    window.ThreadCountField()->setText(QStringLiteral("８"));
    std::thread reader([&] { edited = ui.ThreadCountText(); });
    QTRY_VERIFY_WITH_TIMEOUT(!edited.empty(), 20000);
    reader.join();
    QCOMPARE(edited, Utf8ToGbk("８"));
  }

  void rowsAndProgressShowInTheListAndTheStatusBar() {
    UiBridge bridge;
    NoDialogs dialogs;
    CollectorWindow window;
    QtCollectorUi ui(window, dialogs, bridge);
    ShopRecord record;
    record.shopId = 42;
    record.name = Utf8ToGbk("演示店");
    record.reputation = "12";
    record.messenger = "alice";
    record.openingDate = "2014-05-01";
    record.address = "http://shop42.velmo.com";
    ui.AddRow(record);
    ui.AddRow(record);
    const ResultModel& rows = window.Results();
    QCOMPARE(rows.RowCount(), 2);
    for (int row = 0; row < 2; ++row) {
      QCOMPARE(rows.GetCellText(row, 0), std::to_string(row + 1));
      QCOMPARE(rows.GetCellText(row, 1), record.name);
      QCOMPARE(rows.GetCellText(row, 5), record.address);
    }
    QCOMPARE(window.Status()->PaneText(0), QStringLiteral("已采集：2个"));
    QCOMPARE(window.Status()->PaneText(1),
             QStringLiteral("采集店铺：http://shop42.velmo.com成功采集！"));
    ui.ShowNote("保存的起始店铺ID无效");
    QCOMPARE(window.Status()->PaneText(1), QStringLiteral("保存的起始店铺ID无效"));
    QCOMPARE(window.Status()->PaneText(0), QStringLiteral("已采集：2个"));

    // A pause and shops in trouble; the credit comes back when none are left.
    ui.ShowPaused(PauseReason::Outage, std::chrono::seconds(5), false);
    QCOMPARE(window.Status()->PaneText(1), QStringLiteral("网络异常，暂停采集，5 秒后重试"));
    ui.ShowPaused(PauseReason::Outage, std::chrono::seconds(0), true);
    QCOMPARE(window.Status()->PaneText(1),
             QStringLiteral("网络异常，暂停采集，0 秒后重试（正在探测）"));
    ui.ShowPaused(PauseReason::RateLimited, std::chrono::seconds(59), false);
    QCOMPARE(window.Status()->PaneText(1), QStringLiteral("服务器要求暂停，暂停采集，59 秒后重试"));
    ui.ShowPaused(PauseReason::StoreBehind, std::chrono::seconds(0), false);
    QCOMPARE(window.Status()->PaneText(1),
             QStringLiteral("结果库暂时无法写入，暂停采集，等待恢复"));
    ui.ShowRetryCounts(12, 3, 0);
    QCOMPARE(window.Status()->PaneText(2), QStringLiteral("等待重试：12 个，失败：3 个"));
    ui.ShowRetryCounts(0, 0, 0);
    QCOMPARE(window.Status()->PaneText(2), QStringLiteral("软件制作：Mivu"));
    // The pages stopped matching the markers: the walk holds, and the shops to ask again count.
    ui.ShowPaused(PauseReason::PagesDoNotMatch, std::chrono::seconds(0), false);
    QCOMPARE(window.Status()->PaneText(1),
             QStringLiteral("页面已与标记不符，停止发放新店铺，请停止后修正标记再继续"));
    ui.ShowRetryCounts(0, 0, 26);
    QCOMPARE(window.Status()->PaneText(2), QStringLiteral("待重采：26 个"));
    ui.ShowRetryCounts(1, 2, 26);
    QCOMPARE(window.Status()->PaneText(2),
             QStringLiteral("等待重试：1 个，失败：2 个，待重采：26 个"));
    ui.ShowRetryCounts(0, 0, 0);
    QCOMPARE(window.Status()->PaneText(2), QStringLiteral("软件制作：Mivu"));

    // The store's trouble holds the last pane while it lasts: shops in trouble reported
    // meanwhile show once it is over.
    ui.ShowStoreTrouble(7);
    QCOMPARE(window.Status()->PaneText(2), QStringLiteral("结果库写入失败：7 条未保存"));
    ui.ShowRetryCounts(2, 1, 0);
    ui.AddRow(record);
    QCOMPARE(window.Status()->PaneText(2), QStringLiteral("结果库写入失败：7 条未保存"));
    ui.ShowStoreTrouble(9);
    QCOMPARE(window.Status()->PaneText(2), QStringLiteral("结果库写入失败：9 条未保存"));
    ui.ShowStoreTrouble(std::nullopt);
    QCOMPARE(window.Status()->PaneText(2), QStringLiteral("等待重试：2 个，失败：1 个"));
    ui.ShowRetryCounts(0, 0, 0);
    QCOMPARE(window.Status()->PaneText(2), QStringLiteral("软件制作：Mivu"));

    // Rows of an interrupted run come back numbered after those in the list, panes untouched.
    ui.RestoreRows({record, record, record});
    QCOMPARE(rows.RowCount(), 6);
    QCOMPARE(rows.GetCellText(5, 0), std::string("6"));
    QCOMPARE(window.Status()->PaneText(0), QStringLiteral("已采集：3个"));
  }

  void theShopIdFieldIsReadWithoutAHopAndSeesTheUsersTyping() {
    UiBridge bridge;
    NoDialogs dialogs;
    CollectorWindow window;
    QtCollectorUi ui(window, dialogs, bridge);
    ui.SetShopIdText(
        "12\xFF"
        "3");
    std::string read;
    std::thread reader([&] { read = ui.ShopIdText(); });
    reader.join();  // no event processed: the copy answered
    QCOMPARE(read, std::string("12\xFF"
                               "3"));
    QCoreApplication::processEvents();
    QCOMPARE(window.ShopIdField()->text(), QStringLiteral("12\uFFFD3"));
    // The bytes stay those written while nobody edits the field...
    QCOMPARE(ui.ShopIdText(), std::string("12\xFF"
                                          "3"));
    // ...and what the user types is read at once.
    window.ShopIdField()->setFocus();
    window.ShopIdField()->selectAll();
    QTest::keyClicks(window.ShopIdField(), "777");
    std::thread again([&] { read = ui.ShopIdText(); });
    again.join();
    QCOMPARE(read, std::string("777"));
    // An engine write posted before the typing does not take the copy back when it lands late.
    ui.SetShopIdText("100");
    window.ShopIdField()->setText(QStringLiteral("555"));  // the user pastes meanwhile
    QCOMPARE(ui.ShopIdText(), std::string("555"));
    QCoreApplication::processEvents();  // the engine's write lands
    QCOMPARE(ui.ShopIdText(), std::string("555"));
    // Once the window is torn down the field reads as empty.
    bridge.Close();
    QCOMPARE(ui.ShopIdText(), std::string());
  }
};

QTEST_MAIN(BridgeTest)
#include "bridge_test.moc"
