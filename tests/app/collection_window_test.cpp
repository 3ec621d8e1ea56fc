// The whole program on the offscreen platform: a run against the local marketplace through the
// real window, an export, and closing with the walk's place saved; a results store whose disk
// fills up under the walk.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <sstream>

#include "app/application.h"
#include "app/collector_window.h"
#include "app/engine_handlers.h"
#include "app/int_edit.h"
#include "app/result_model.h"
#include "app/status_panes.h"
#include "app/window_texts.h"
#include "collect/gbk.h"
#include "collect/text.h"
#include "net/transfer_abort.h"
#include "net/web_access.h"
#include "results/sqlite/sqlite_store.h"
#include "store/progress_store.h"
#include "store/run_directory.h"
#include "tests/results/limited_space_vfs.h"
#include "tests/support/changing_pages.h"
#include "tests/support/manual_clock.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/shop_pages.h"
#include "tests/support/test_marketplace.h"

namespace shopwalk {
namespace {

int argc = 1;
char programName[] = "collection_window_test";
char* argv[] = {programName, nullptr};

std::string FileContent(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

// Serves the demo marketplace's shops.
void ServeDemoShops(test::TestMarketplace& market) {
  market.SetFallbackGenerator(
      [](const std::string& host, const std::string& path) -> std::optional<test::Page> {
        auto body = pages::DemoPage(host, path);
        if (!body) return std::nullopt;
        test::Page page;
        page.body = std::move(*body);
        return page;
      });
}

// IDs of the shops whose home pages were requested, from the `from`th request on, in arrival order.
std::vector<std::int32_t> RequestedShops(const test::TestMarketplace& market,
                                         std::size_t from = 0) {
  std::vector<std::int32_t> ids;
  const auto requests = market.Requests();
  for (std::size_t i = from; i < requests.size(); ++i) {
    if (requests[i].host.rfind("shop", 0) == 0) {
      ids.push_back(static_cast<std::int32_t>(std::stoll(requests[i].host.substr(4))));
    }
  }
  return ids;
}

// Steps run one after the other from a timer, each until it says it is done. A script still
// unfinished after a generous while (something is wrong) fails, and closes the boxes it waits
// for and ends the program, so that the test ends instead of hanging.
class Script {
 public:
  static constexpr auto Patience = std::chrono::seconds(120);

  void Then(std::function<bool()> step) { steps_.push_back(std::move(step)); }
  void Start(QObject* owner) {
    const auto deadline = std::chrono::steady_clock::now() + Patience;
    auto* timer = new QTimer(owner);
    QObject::connect(timer, &QTimer::timeout, [this, deadline] {
      if (next_ < steps_.size() && steps_[next_]()) ++next_;
      if (Finished() || std::chrono::steady_clock::now() < deadline) return;
      if (!gaveUp_) ADD_FAILURE() << "the script is stuck at step " << next_ + 1;
      gaveUp_ = true;
      if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
      QApplication::exit(1);
    });
    timer->start(10);
  }
  bool Finished() const { return next_ == steps_.size(); }

 private:
  std::vector<std::function<bool()>> steps_;
  std::size_t next_ = 0;
  bool gaveUp_ = false;
};

// Clicks the button of the modal message box whose text `matches`; false while none is shown.
bool AnswerMessage(const std::function<bool(const QString&)>& matches, const QString& button) {
  auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
  if (box == nullptr || !matches(box->text())) return false;
  for (QAbstractButton* b : box->buttons()) {
    if (b->text() == button) {
      b->click();
      return true;
    }
  }
  return false;
}

// The same for the box showing exactly `text`.
bool AnswerMessage(const QString& text, const QString& button) {
  return AnswerMessage([&](const QString& shown) { return shown == text; }, button);
}

// Accepts the save dialog with `path` typed as the file name; false while it is not shown.
bool AcceptSaveDialog(const QString& path) {
  auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
  if (dialog == nullptr) return false;
  auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
  if (name == nullptr) return false;
  name->setText(path);
  if (dialog->selectedFiles() != QStringList({path})) return false;
  static_cast<QDialog*>(dialog)->accept();
  return true;
}

// The walk's place saved in config.ini, or nothing.
std::optional<std::int32_t> SavedPlace() {
  const std::string saved = FileContent(ConfigPath());
  const std::string lead = "[Mivu]\r\nNow_ID=";
  if (saved.rfind(lead, 0) != 0) return std::nullopt;
  return TextToInt(saved.substr(lead.size()));
}

TEST(CollectionWindow, CollectsStopsExportsAndSavesThePlace) {
  const std::string config = ConfigPath();
  std::filesystem::remove(config);
  QTemporaryDir exportDir;
  const QString exportPath = exportDir.filePath(QStringLiteral("shops.txt"));

  InitWebAccess();
  test::TestMarketplace market;
  ServeDemoShops(market);
  SetConnectTo(market.ConnectAddress());

  Application app(argc, argv);
  auto collector = std::make_shared<Collector>(app.Ui());
  app.SetHandlers(EngineHandlers(collector));
  CollectorWindow& window = app.Window();
  ResultModel& results = window.Results();

  std::string stoppedAt;
  // Set once the rows posted to the window before a read through its queue have been shown.
  std::atomic<bool> listShown{false};
  std::thread readThrough;
  std::vector<ResultRow> rows;
  QString pane0, pane1;
  bool frozen = false;

  Script script;
  script.Then([&] {
    // The field was loaded with the default start; type another one, as a user would.
    EXPECT_EQ(window.ShopIdField()->text(), QStringLiteral("109428412"));
    window.ShopIdField()->setFocus();
    window.ShopIdField()->selectAll();
    QTest::keyClicks(window.ShopIdField(), QStringLiteral("1000"));
    QTest::mouseClick(window.StartButton(), Qt::LeftButton);
    return true;
  });
  script.Then([&] {
    if (results.RowCount() < 3) return false;
    QTest::mouseClick(window.StopButton(), Qt::LeftButton);
    return true;
  });
  script.Then([&] {
    if (window.StartButton()->isEnabled()) return false;
    frozen = !window.StopButton()->isEnabled() && window.ShopIdField()->isHidden() &&
             window.ExportButton()->isEnabled();
    stoppedAt = window.ShopIdField()->text().toStdString();
    return true;
  });
  script.Then([&] {
    // Tasks that were fetching when Stop came may still add rows. The list is final once every
    // worker has left and what they posted to the window has been shown: a read through the
    // window's queue, from another thread, comes back only after it.
    if (collector->Run().WorkerPool.CurrentState() != ThreadPool::State::Ended) return false;
    if (!readThrough.joinable()) {
      readThrough = std::thread([&] {
        app.Ui().ThreadCountText();
        listShown = true;
      });
    }
    if (!listShown) return false;
    for (int r = 0; r < results.RowCount(); ++r) {
      std::array<std::string, 6> row;
      for (int c = 0; c < 6; ++c) row[c] = results.GetCellText(r, c);
      rows.push_back(row);
    }
    pane0 = window.Status()->PaneText(0);
    pane1 = window.Status()->PaneText(1);
    QTimer::singleShot(0, [&] { QTest::mouseClick(window.ExportButton(), Qt::LeftButton); });
    return true;
  });
  script.Then([&] { return AcceptSaveDialog(exportPath); });
  script.Then([&] { return AnswerMessage(QStringLiteral("导出完成!"), QStringLiteral("确定")); });
  script.Then([&] {
    QTimer::singleShot(0, [&] { window.close(); });
    return true;
  });
  script.Then(
      [&] { return AnswerMessage(QStringLiteral("是否保存当前进度？"), QStringLiteral("是")); });
  script.Start(&window);

  EXPECT_EQ(app.Run(), 0);
  if (readThrough.joinable()) readThrough.join();
  SetConnectTo("");
  ASSERT_TRUE(script.Finished());

  // The run: rows of existing shops above the typed ID, numbered in order.
  EXPECT_TRUE(frozen);
  ASSERT_GE(rows.size(), 3u);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i][0], std::to_string(i + 1));
    const std::int32_t id = TextToInt(rows[i][5].substr(std::string("http://shop").size()));
    EXPECT_GT(id, 1000);
    const auto shop = pages::DemoShop(id);
    ASSERT_TRUE(shop.has_value());
    EXPECT_EQ(rows[i][5], pages::ShopUrl(id));
    EXPECT_EQ(rows[i][1], Utf8ToGbk(shop->name));
    EXPECT_EQ(rows[i][3], Utf8ToGbk(shop->messenger));
  }
  EXPECT_EQ(pane0, QStringLiteral("已采集：%1个").arg(rows.size()));
  EXPECT_TRUE(pane1.startsWith(QStringLiteral("采集店铺：http://shop")) ||
              pane1.startsWith(QStringLiteral("正在采集店铺：http://shop")));

  // The export: one messenger name per row (the check box starts checked).
  std::string expected;
  for (const auto& row : rows) expected += row[3] + "\r\n";
  EXPECT_EQ(FileContent(exportPath.toStdString()), expected);

  // The saved place lies before the shop that ended the run, and the next start resumes there.
  const std::string saved = FileContent(config);
  ASSERT_EQ(saved.rfind("[Mivu]\r\nNow_ID=", 0), 0u) << saved;
  const std::int32_t savedId = TextToInt(saved.substr(std::string("[Mivu]\r\nNow_ID=").size()));
  EXPECT_GE(savedId, 1000);
  EXPECT_LT(savedId, TextToInt(stoppedAt));
  EXPECT_EQ(LoadProgress(RunDirectory()), std::to_string(savedId));
  std::filesystem::remove(config);
}

// The walk runs on a manual clock that the script moves one pass at a time, so the user types
// while the dispatcher waits between two passes, whatever the machine's speed.
TEST(CollectionWindow, WalkContinuesAfterAnIdTypedDuringTheRun) {
  InitWebAccess();
  test::TestMarketplace market;
  ServeDemoShops(market);
  SetConnectTo(market.ConnectAddress());
  test::ManualClock clock;

  Application app(argc, argv);
  auto collector = std::make_shared<Collector>(app.Ui());
  collector->SetClock(clock);
  CollectorHandlers handlers = EngineHandlers(collector);
  handlers.OnCollectorCreated = nullptr;  // leave the settings file alone
  app.SetHandlers(handlers);
  CollectorWindow& window = app.Window();
  QLineEdit* field = window.ShopIdField();

  constexpr std::int32_t Typed = 800000;
  std::int32_t oldPlace = 0;  // the field's ID when the user typed
  std::size_t typedAt = 0;    // requests the marketplace had seen by then
  // The dispatcher waits for its next pass (the only thread that waits on the clock here), and
  // the field shows what it wrote last.
  const auto betweenPasses = [&] {
    return clock.WaitForIdleWaiters(1, std::chrono::milliseconds(0)) &&
           field->text().toStdString() == app.Ui().ShopIdText();
  };
  const auto nextPass = [&] {
    if (clock.WaitForIdleWaiters(1, std::chrono::milliseconds(0))) clock.AdvanceToNextDeadline();
  };

  Script script;
  script.Then([&] {
    field->setText(QStringLiteral("1000"));
    window.ThreadCountField()->setText(QStringLiteral("4"));
    QTest::mouseClick(window.StartButton(), Qt::LeftButton);
    return true;
  });
  script.Then([&] {
    // Once the walk has advanced, type a much larger ID over the field, as a user would.
    const std::int32_t id = TextToInt(field->text().toStdString());
    if (id < 1005 || !betweenPasses()) {
      nextPass();
      return false;
    }
    oldPlace = id;
    typedAt = market.RequestCount();
    field->setFocus();
    field->selectAll();
    QTest::keyClicks(field, QString::number(Typed));
    return true;
  });
  script.Then([&] {
    // Until the shops after the typed ID have been requested.
    const auto after = RequestedShops(market, typedAt);
    const std::set<std::int32_t> seen(after.begin(), after.end());
    bool next = true;
    for (std::int32_t id = Typed + 1; id <= Typed + 5; ++id) next = next && seen.count(id) > 0;
    if (!next) {
      nextPass();
      return false;
    }
    QTimer::singleShot(0, [&] { window.close(); });
    return true;
  });
  script.Then(
      [&] { return AnswerMessage(QStringLiteral("是否保存当前进度？"), QStringLiteral("否")); });
  script.Start(&window);

  EXPECT_EQ(app.Run(), 0);
  SetConnectTo("");
  ASSERT_TRUE(script.Finished());

  // After the typing the only shops requested are those queued before it (at most the old
  // place) and the walk after the typed ID: the next pass read what was typed.
  ASSERT_GE(oldPlace, 1005);
  const auto after = RequestedShops(market, typedAt);
  for (const std::int32_t id : after) {
    EXPECT_TRUE(id <= oldPlace || id > Typed)
        << "shop " << id << " requested after " << Typed << " was typed over " << oldPlace;
  }
  const std::set<std::int32_t> seen(after.begin(), after.end());
  for (std::int32_t id = Typed + 1; id <= Typed + 5; ++id) {
    EXPECT_EQ(seen.count(id), 1u) << "shop " << id << " after the typed ID not requested";
  }
  ResetTransferAbort();
}

TEST(CollectionWindow, DuringAnOutageTheStatusBarShowsThePauseAndItsProbe) {
  InitWebAccess();
  test::TestMarketplace market;
  // The demo shops. While down, every page is answered 503, until the second probe: its page is
  // held until the test has seen the probe out, and is then answered as the marketplace is back.
  std::atomic<bool> down{false};
  auto heldProbe = std::make_shared<test::AnswerGate>();
  std::atomic<Collector*> engine{nullptr};
  market.SetFallbackGenerator(
      [&](const std::string& host, const std::string& path) -> std::optional<test::Page> {
        auto body = pages::DemoPage(host, path);
        if (!body) return std::nullopt;
        test::Page page;
        if (down && engine.load()->Health().ProbesSent() < 2) {
          page.status = 503;
          page.body = "down";
          return page;
        }
        if (down) page.gate = heldProbe;
        page.body = std::move(*body);
        return page;
      });
  SetConnectTo(market.ConnectAddress());

  Application app(argc, argv);
  auto collector = std::make_shared<Collector>(app.Ui());
  engine = collector.get();
  RetryPolicy policy;
  policy.firstBackoff = std::chrono::milliseconds(20);
  policy.longestBackoff = std::chrono::milliseconds(200);
  policy.outageFailures = 3;
  collector->SetRetryPolicy(policy);
  CollectorHandlers handlers = EngineHandlers(collector);
  handlers.OnCollectorCreated = nullptr;  // leave the settings file alone
  app.SetHandlers(handlers);
  CollectorWindow& window = app.Window();
  ResultModel& results = window.Results();

  const QString pausePrefix = QStringLiteral("网络异常，暂停采集，");
  const QString probing = QStringLiteral("网络异常，暂停采集，0 秒后重试（正在探测）");
  // Pane 1's texts from the pause's first showing until the marketplace is back.
  std::vector<QString> whilePaused;
  bool probeSeen = false;
  int rowsAtReturn = 0;
  std::optional<std::chrono::steady_clock::time_point> deadline;

  Script script;
  script.Then([&] {
    window.ShopIdField()->setText(QStringLiteral("1000"));
    window.ThreadCountField()->setText(QStringLiteral("4"));
    QTest::mouseClick(window.StartButton(), Qt::LeftButton);
    return true;
  });
  script.Then([&] {
    if (results.RowCount() < 2) return false;
    down = true;
    deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    return true;
  });
  script.Then([&] {
    // Until the second probe is out (the first has failed), held at the marketplace, and the
    // pane says so.
    const QString text = window.Status()->PaneText(1);
    if (!whilePaused.empty() || text.startsWith(pausePrefix)) whilePaused.push_back(text);
    probeSeen = collector->Health().ProbesSent() >= 2 && collector->Health().ProbeOut() &&
                heldProbe->Held() == 1 && text == probing;
    if (!probeSeen && std::chrono::steady_clock::now() < *deadline) return false;
    down = false;
    rowsAtReturn = results.RowCount();
    heldProbe->Open();
    return true;
  });
  script.Then([&] {
    if (results.RowCount() < rowsAtReturn + 2 && std::chrono::steady_clock::now() < *deadline) {
      return false;
    }
    QTimer::singleShot(0, [&] { window.close(); });
    return true;
  });
  script.Then(
      [&] { return AnswerMessage(QStringLiteral("是否保存当前进度？"), QStringLiteral("否")); });
  script.Start(&window);

  EXPECT_EQ(app.Run(), 0);
  SetConnectTo("");
  ASSERT_TRUE(script.Finished());

  EXPECT_TRUE(probeSeen) << "the pane never showed a probe out";
  ASSERT_FALSE(whilePaused.empty());
  for (const QString& text : whilePaused) {
    EXPECT_TRUE(text.startsWith(pausePrefix)) << text.toStdString();
  }
  // The walk went on once the marketplace was back.
  EXPECT_GE(results.RowCount(), rowsAtReturn + 2);
  // The pages' generator uses what this case holds: no call of it may outlast it.
  market.SetFallbackGenerator(nullptr);
  ResetTransferAbort();
}

TEST(CollectionWindow, ClosingDuringARunEndsEverythingWithoutWaitingForTheServer) {
  InitWebAccess();
  test::TestMarketplace market;
  // Every shop page hangs for a minute.
  test::Page hanging;
  hanging.misbehaviour = test::Misbehaviour::StallBeforeAnswer;
  hanging.stallMs = 60000;
  market.SetFallbackPage(hanging);
  SetConnectTo(market.ConnectAddress());

  Application app(argc, argv);
  auto collector = std::make_shared<Collector>(app.Ui());
  CollectorHandlers handlers = EngineHandlers(collector);
  handlers.OnCollectorCreated = nullptr;  // leave the settings file alone
  app.SetHandlers(handlers);
  CollectorWindow& window = app.Window();

  Script script;
  script.Then([&] {
    window.ShopIdField()->setText(QStringLiteral("5000"));
    window.ThreadCountField()->setText(QStringLiteral("4"));
    QTest::mouseClick(window.StartButton(), Qt::LeftButton);
    return true;
  });
  script.Then([&] {
    // Four transfers hang while the dispatcher keeps queueing shops.
    if (market.RequestCount() < 4 || TextToInt(window.ShopIdField()->text().toStdString()) < 5008)
      return false;
    QTimer::singleShot(0, [&] { window.close(); });
    return true;
  });
  script.Then(
      [&] { return AnswerMessage(QStringLiteral("是否保存当前进度？"), QStringLiteral("否")); });
  script.Start(&window);

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(app.Run(), 0);
  std::printf(
      "closing during a run took %.0f ms\n",
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  ASSERT_TRUE(script.Finished());
  SetConnectTo("");

  // Nothing is left running or blocked: the dispatcher and every worker have ended.
  EXPECT_EQ(collector->Run().WorkerPool.CurrentState(), ThreadPool::State::Ended);
  EXPECT_TRUE(collector->ShutDownForExit(std::chrono::milliseconds(0)));
  // None of the hanging shops was finished, so the walk's place is still the start.
  EXPECT_EQ(collector->ProgressText(), "5000");
  ResetTransferAbort();
}

// The disk under the results store fills up during a walk: the walk is held, the last pane says
// how many rows are not saved while it lasts, closing names them and offers the export before the
// usual question, and the place saved is the one the store made durable, before every row it
// could not write.
TEST(CollectionWindow, AFullDiskHoldsTheWalkShowsTheUnsavedRowsAndOffersTheirExport) {
  std::filesystem::remove(ConfigPath());
  test::ScratchDirectory dir;
  const QString exportPath = QString::fromStdString(dir.File("shops.txt"));
  const std::string storePath = dir.File("shopwalk.db");

  InitWebAccess();
  test::TestMarketplace market;
  ServeDemoShops(market);
  SetConnectTo(market.ConnectAddress());
  auto vfs = std::make_unique<test::LimitedSpaceVfs>();
  auto opened = SqliteStore::OpenForWalking(storePath);
  ASSERT_TRUE(opened) << opened.error().reason;
  std::shared_ptr<ResultStore> store = std::move(*opened);
  auto durableRows = std::make_shared<std::atomic<std::uint64_t>>(0);
  store->OnDurable([durableRows](std::uint64_t rows) { *durableRows = rows; });

  std::vector<ResultRow> rows;
  std::uint64_t written = 0;
  StoreBacklog held;
  QString troublePane;
  QString closingText;
  int rowsAtClosing = -1;
  std::optional<std::string> durablePlace;
  {
    Application app(argc, argv);
    auto collector = std::make_shared<Collector>(app.Ui());
    app.SetHandlers(EngineHandlers(collector, store));
    CollectorWindow& window = app.Window();
    ResultModel& results = window.Results();
    const auto unsavedPane = [&](std::uint64_t unsaved) {
      return QStringLiteral("结果库写入失败：%1 条未保存").arg(unsaved);
    };

    Script script;
    script.Then([&] {
      window.ShopIdField()->setText(QStringLiteral("1000"));
      window.ThreadCountField()->setText(QStringLiteral("4"));
      QTest::mouseClick(window.StartButton(), Qt::LeftButton);
      return true;
    });
    script.Then([&] {
      // Some rows are on the disk; then it is full.
      if (*durableRows < 2) return false;
      vfs->AllowBytes(0);
      return true;
    });
    script.Then([&] {
      // Held: nothing is in flight, every row of the list is either written or held, and the
      // last pane counts those held.
      const StoreBacklog backlog = store->Backlog();
      if (!backlog.problem || backlog.rows == 0 || collector->Progress().AnyInFlight()) {
        return false;
      }
      if (static_cast<std::uint64_t>(results.RowCount()) != *durableRows + backlog.rows) {
        return false;
      }
      if (window.Status()->PaneText(2) != unsavedPane(backlog.rows)) return false;
      held = backlog;
      written = *durableRows;
      durablePlace = store->DurablePlace();
      troublePane = window.Status()->PaneText(2);
      for (int r = 0; r < results.RowCount(); ++r) {
        std::array<std::string, 6> row;
        for (int c = 0; c < 6; ++c) row[c] = results.GetCellText(r, c);
        rows.push_back(row);
      }
      QTimer::singleShot(0, [&] { window.close(); });
      return true;
    });
    script.Then([&] {
      return AnswerMessage(
          [&](const QString& text) {
            if (!text.startsWith(QStringLiteral("有 "))) return false;
            closingText = text;
            rowsAtClosing = results.RowCount();
            return true;
          },
          QStringLiteral("是"));
    });
    script.Then([&] { return AcceptSaveDialog(exportPath); });
    script.Then([&] { return AnswerMessage(QStringLiteral("导出完成!"), QStringLiteral("确定")); });
    script.Then(
        [&] { return AnswerMessage(QStringLiteral("是否保存当前进度？"), QStringLiteral("是")); });
    script.Start(&window);

    EXPECT_EQ(app.Run(), 0);
    SetConnectTo("");
    ASSERT_TRUE(script.Finished());
  }
  // The walk stayed held up to the closing question: no row came after those held.
  EXPECT_EQ(rowsAtClosing, static_cast<int>(rows.size()));

  // The closing named the rows held and the store's reason, before the usual question.
  ASSERT_TRUE(held.problem.has_value());
  const QString expectedText = QStringLiteral("有 %1 条结果未能写入结果库（%2）。是否先导出？")
                                   .arg(held.rows)
                                   .arg(QString::fromStdString(held.problem->reason));
  EXPECT_EQ(closingText, expectedText);
  EXPECT_EQ(troublePane, QStringLiteral("结果库写入失败：%1 条未保存").arg(held.rows));

  // The export holds every row of the list, those never written among them.
  std::string expected;
  for (const auto& row : rows) expected += row[3] + "\r\n";
  EXPECT_EQ(FileContent(exportPath.toStdString()), expected);

  // The place saved is the durable one, before the lowest row the store could not write.
  ASSERT_TRUE(durablePlace.has_value());
  ASSERT_TRUE(held.lowestRow.has_value());
  const std::optional<std::int32_t> saved = SavedPlace();
  ASSERT_TRUE(saved.has_value());
  EXPECT_EQ(std::to_string(*saved), *durablePlace);
  EXPECT_GE(*saved, 1000);
  EXPECT_LT(*saved, *held.lowestRow);
  std::filesystem::remove(ConfigPath());

  // What the disk took is what the store said it wrote; the rest never reached it.
  store.reset();
  vfs.reset();
  auto reading = SqliteStore::OpenForReading(storePath);
  ASSERT_TRUE(reading) << reading.error().reason;
  std::set<std::int32_t> stored;
  (*reading)->ForEachRow([&](const ShopRecord& record) { stored.insert(record.shopId); });
  EXPECT_EQ(stored.size(), written);
  std::size_t unsaved = 0;
  for (const auto& row : rows) {
    const std::int32_t id = TextToInt(row[5].substr(std::string("http://shop").size()));
    if (stored.count(id) == 0) ++unsaved;
  }
  EXPECT_EQ(unsaved, held.rows);
  EXPECT_EQ((*reading)->LastPlace(RunKind::Window).value(), std::to_string(*saved));

  const std::string figures = std::to_string(written) + " rows written, " +
                              std::to_string(held.rows) + " held, " + std::to_string(held.rows) +
                              " shown as unwritten";
  std::printf("full disk through the window: %s\n", figures.c_str());
  ::testing::Test::RecordProperty("rows_written", static_cast<int>(written));
  ::testing::Test::RecordProperty("rows_held", static_cast<int>(held.rows));
  ::testing::Test::RecordProperty("rows_shown_unwritten", static_cast<int>(held.rows));
  ResetTransferAbort();
}

// The marketplace's home pages change their layout under the walk: once the page-match guard
// trips, pane 1 says the pages no longer match and pane 2 counts the shops marked to be asked
// again among the failed ones, as the other pauses show their reason and their shops; nothing
// new is asked while the walk holds, until Stop, which ends the run as any other.
TEST(CollectionWindow, APageChangeHoldsTheWalkUntilStopAndThePanesSayWhy) {
  // A window of 100 answered pages (config.ini's Guard_Window), so the walk holds soon after the
  // change.
  test::PutFile(ConfigPath(), "[Mivu]\r\nGuard_Window=100\r\n");
  test::ScratchDirectory dir;
  InitWebAccess();
  test::TestMarketplace market;
  test::ChangingPages changing(market);
  constexpr std::int32_t Start = 1000;
  constexpr std::int32_t ChangeAt = 1100;
  changing.Change({pages::PageChange::Kind::Layout, ChangeAt});
  SetConnectTo(market.ConnectAddress());
  auto opened = SqliteStore::OpenForWalking(dir.File("shopwalk.db"));
  ASSERT_TRUE(opened) << opened.error().reason;
  std::shared_ptr<ResultStore> store = std::move(*opened);

  const QString holdText = QString::fromUtf8(PausedPagesDoNotMatch.data(),
                                             static_cast<qsizetype>(PausedPagesDoNotMatch.size()));
  // What the panes showed once the walk held with nothing under way, and on each later tick
  // until Stop.
  QString holdPane1, holdPane2;
  std::vector<QString> pane1Until;
  std::size_t requestsAtHold = 0, requestsAtStop = 0;
  int ticksHeld = 0;
  bool stoppedAsUsual = false;
  std::set<std::int32_t> marked;
  {
    Application app(argc, argv);
    auto collector = std::make_shared<Collector>(app.Ui());
    std::atomic<bool> held{false};
    collector->OnPagesMismatch([&held](PageMismatch) { held = true; });
    app.SetHandlers(EngineHandlers(collector, store));
    CollectorWindow& window = app.Window();
    // Set once what the engine posted to the window before it has been shown.
    std::atomic<bool> shown{false};
    std::thread readThrough;
    const auto shownThrough = [&] {
      if (!readThrough.joinable()) {
        shown = false;
        readThrough = std::thread([&] {
          app.Ui().ThreadCountText();
          shown = true;
        });
      }
      if (!shown) return false;
      readThrough.join();
      return true;
    };
    Script script;
    script.Then([&] {
      window.ShopIdField()->setText(QString::number(Start));
      window.ThreadCountField()->setText(QStringLiteral("4"));
      QTest::mouseClick(window.StartButton(), Qt::LeftButton);
      return true;
    });
    script.Then([&] {
      if (!held || !shownThrough()) return false;
      requestsAtHold = market.RequestCount();
      holdPane1 = window.Status()->PaneText(1);
      holdPane2 = window.Status()->PaneText(2);
      // The marks as the store keeps them (a failure on record, or a revisit of its own).
      EXPECT_TRUE(store->Flush(std::chrono::seconds(30)));
      for (const FailedShop& shop : store->FailedShops()) marked.insert(shop.shopId);
      for (const std::int32_t id : store->ShopsToRevisit()) marked.insert(id);
      return true;
    });
    script.Then([&] {
      // The hold is not an outage: no probe, no try after a while. Watched over thirty turns of
      // the script's timer, then stopped.
      pane1Until.push_back(window.Status()->PaneText(1));
      if (++ticksHeld < 30) return false;
      requestsAtStop = market.RequestCount();
      QTest::mouseClick(window.StopButton(), Qt::LeftButton);
      return true;
    });
    script.Then([&] {
      // Stopped as any run: the workers have left and the run's controls are frozen.
      if (collector->Run().WorkerPool.CurrentState() != ThreadPool::State::Ended) return false;
      if (window.StopButton()->isEnabled()) return false;
      stoppedAsUsual = !window.StartButton()->isEnabled() && window.ShopIdField()->isHidden() &&
                       window.ExportButton()->isEnabled();
      QTimer::singleShot(0, [&] { window.close(); });
      return true;
    });
    script.Then(
        [&] { return AnswerMessage(QStringLiteral("是否保存当前进度？"), QStringLiteral("否")); });
    script.Start(&window);

    EXPECT_EQ(app.Run(), 0);
    if (readThrough.joinable()) readThrough.join();
    SetConnectTo("");
    ASSERT_TRUE(script.Finished());
  }

  EXPECT_EQ(holdPane1.toStdString(), holdText.toStdString());
  for (const QString& text : pane1Until) EXPECT_EQ(text.toStdString(), holdText.toStdString());
  EXPECT_EQ(requestsAtStop, requestsAtHold) << "shops were asked while the walk held";
  EXPECT_TRUE(stoppedAsUsual);
  // Pane 2 counted the shops marked to be asked again.
  EXPECT_FALSE(marked.empty());
  EXPECT_EQ(holdPane2.toStdString(),
            QStringLiteral("待重采：%1 个").arg(marked.size()).toStdString());
  market.SetFallbackGenerator(nullptr);
  std::filesystem::remove(ConfigPath());
  ResetTransferAbort();
}

}  // namespace
}  // namespace shopwalk
