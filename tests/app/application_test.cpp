// The program around the window: start-up, the order of the window's events, shut-down.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QPushButton>
#include <QTimer>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "app/application.h"
#include "app/collector_window.h"
#include "app/int_edit.h"

namespace shopwalk {
namespace {

int argc = 1;
char programName[] = "application_test";
char* argv[] = {programName, nullptr};

TEST(Application, RunsTheWindowFromCreationToShutDown) {
  QDir::setCurrent(QDir::rootPath());
  Application app(argc, argv);
  EXPECT_EQ(QDir::currentPath(), QCoreApplication::applicationDirPath());

  std::vector<std::string> events;
  std::atomic<bool> stopWorker{false};
  std::atomic<int> workerCalls{0};
  std::thread worker;
  CollectorHandlers handlers;
  handlers.OnCollectorCreated = [&](WindowUi& ui) {
    events.push_back("created, visible " + std::to_string(app.Window().isVisible()));
    ui.SetShopIdText("109428412");
  };
  handlers.OnCollectorDestroyed = [&](WindowUi& ui) {
    events.push_back("destroyed, shop " + ui.ShopIdText());
  };
  handlers.OnStartClicked = [&](WindowUi& ui) {
    events.push_back("start");
    // A thread that keeps using the window until the program ends.
    worker = std::thread([&ui, &stopWorker, &workerCalls] {
      while (!stopWorker) {
        ui.SetShopIdText(std::to_string(workerCalls.load()));
        ui.ShowCollecting("http://shop1.velmo.com");
        ++workerCalls;
      }
    });
  };
  handlers.ShutDown = [&] {
    events.push_back("shut down");
    stopWorker = true;
    worker.join();
  };
  app.SetHandlers(handlers);

  QTimer::singleShot(0, [&] {
    events.push_back("running, visible " + std::to_string(app.Window().isVisible()));
    app.Window().StartButton()->click();
  });
  auto* closer = new QTimer(&app.Window());
  QObject::connect(closer, &QTimer::timeout, [&] {
    if (workerCalls.load() >= 20) app.Window().close();
  });
  closer->start(5);

  EXPECT_EQ(app.Run(), 0);
  ASSERT_GE(events.size(), 4u);
  EXPECT_EQ(events[0], "created, visible 0");
  EXPECT_EQ(events[1], "running, visible 1");
  EXPECT_EQ(events[2], "start");
  EXPECT_EQ(events[3].rfind("destroyed, shop ", 0), 0u);
  EXPECT_NE(events[3], "destroyed, shop 109428412");  // the worker moved it on
  EXPECT_EQ(events.back(), "shut down");
  // Once the window is gone the window's operations do nothing.
  app.Ui().AddRow(ShopRecord{});
  EXPECT_EQ(app.Ui().ShopIdText(), "");
}

}  // namespace
}  // namespace shopwalk

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
