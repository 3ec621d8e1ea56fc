// The window with the results store: an interrupted run comes back into the list and the field,
// a clean close ends the run with the user's answer, a store that cannot be opened is named to the
// user, who chooses between running without it and ending the program, and a full disk under the
// walk holds it and is named at closing.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "app/engine_handlers.h"
#include "collect/text.h"
#include "net/web_access.h"
#include "results/sqlite/sqlite_store.h"
#include "tests/results/limited_space_vfs.h"
#include "tests/support/child_process.h"
#include "tests/support/memory_ui.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/shop_pages.h"
#include "tests/support/test_marketplace.h"

namespace shopwalk::test {
namespace {

ShopRecord Record(std::int32_t id) {
  ShopRecord record;
  record.shopId = id;
  record.name = "S" + std::to_string(id);
  record.reputation = "5";
  record.messenger = "m" + std::to_string(id);
  record.openingDate = "2020-01-01";
  record.address = "http://shop" + std::to_string(id) + ".velmo.com";
  return record;
}

class WindowStoreTest : public ::testing::Test {
 protected:
  std::shared_ptr<ResultStore> Open() {
    auto opened = SqliteStore::OpenForWalking(path);
    EXPECT_TRUE(opened) << opened.error().reason;
    return std::move(*opened);
  }

  ScratchDirectory dir;
  std::string path = dir.File("shopwalk.db");
};

TEST_F(WindowStoreTest, AnInterruptedRunComesBackIntoTheListAndTheField) {
  {
    // A window run that was killed: rows appended out of ID order, the place before shop 104.
    auto store = Open();
    store->BeginRun(RunKind::Window, "100");
    for (std::int32_t id : {101, 102, 105, 103}) store->RowAppended(Record(id));
    store->PlaceMoved("103");
    ASSERT_TRUE(store->Flush(std::chrono::seconds(10)));
  }
  MemoryUi ui;
  auto store = Open();
  auto collector = std::make_shared<Collector>(ui);
  CollectorHandlers handlers = EngineHandlers(collector, store);
  handlers.OnCollectorCreated(ui);

  const auto rows = ui.Rows();
  ASSERT_EQ(rows.size(), 4u);
  const std::vector<std::string> order = {"S101", "S102", "S105", "S103"};
  for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i][ShopNameColumn], order[i]);
  EXPECT_EQ(ui.ShopIdText(), "103");
  ASSERT_FALSE(ui.Notes().empty());
  EXPECT_EQ(ui.Notes().back(), "已恢复上次中断的采集：4 个店铺");

  // The run goes on: closing cleanly (the place not saved) ends it, and the next start finds no
  // interrupted run.
  ui.SetMessageAnswer([](const MemoryUi::Message&) { return mb::PressedNo; });
  handlers.OnCollectorDestroyed(ui);
  handlers.ShutDown();
  EXPECT_FALSE(store->Interrupted(RunKind::Window).value().has_value());
  MemoryUi next;
  auto nextCollector = std::make_shared<Collector>(next);
  CollectorHandlers nextHandlers = EngineHandlers(nextCollector, store);
  nextHandlers.OnCollectorCreated(next);
  EXPECT_TRUE(next.Rows().empty());
  nextHandlers.ShutDown();
}

TEST_F(WindowStoreTest, AStoreThatCannotBeOpenedIsNamedAndTheUserChooses) {
  PutFile(path, std::string(8192, 'x'));  // not a store
  for (const int answer : {mb::PressedYes, mb::PressedNo}) {
    MemoryUi ui;
    ui.SetMessageAnswer([answer](const MemoryUi::Message&) { return answer; });
    const WindowStore opened = OpenWindowStore(ui, path);
    EXPECT_EQ(opened.store, nullptr);
    EXPECT_EQ(opened.exit, answer == mb::PressedNo);
    ASSERT_EQ(ui.Messages().size(), 1u);
    const std::string text = ui.Messages()[0].text;
    EXPECT_NE(text.find("结果库无法打开：" + path), std::string::npos) << text;
    EXPECT_EQ(ui.Messages()[0].flags, mb::YesNo | mb::IconWarning);
  }
  // A second walking copy is refused the same way.
  std::remove(path.c_str());
  auto first = Open();
  MemoryUi ui;
  ui.SetMessageAnswer([](const MemoryUi::Message&) { return mb::PressedNo; });
  EXPECT_TRUE(OpenWindowStore(ui, path).exit);
  ASSERT_EQ(ui.Messages().size(), 1u);
}

TEST_F(WindowStoreTest, AFullDiskHoldsTheWalkAndClosingAsksAboutTheRowsHeld) {
  constexpr auto Patience = std::chrono::seconds(60);
  InitWebAccess();
  TestMarketplace market;
  market.SetFallbackGenerator(
      [](const std::string& host, const std::string& path) -> std::optional<Page> {
        auto body = pages::DemoPage(host, path);
        if (!body) return std::nullopt;
        Page page;
        page.body = std::move(*body);
        return page;
      });
  SetConnectTo(market.ConnectAddress());
  LimitedSpaceVfs vfs;
  auto store = Open();
  auto durable = std::make_shared<std::atomic<std::uint64_t>>(0);
  store->OnDurable([durable](std::uint64_t rows) { *durable = rows; });
  MemoryUi ui;
  auto collector = std::make_shared<Collector>(ui);
  CollectorHandlers handlers = EngineHandlers(collector, store);
  handlers.OnCollectorCreated(ui);
  ui.SetShopIdText("1000");
  ui.SetThreadCountText("4");
  handlers.OnStartClicked(ui);
  ASSERT_TRUE(WaitUntil([&] { return *durable >= 2; }, Patience));

  vfs.AllowBytes(0);
  // The dispatcher pauses for the store once a row waits unwritten.
  ASSERT_TRUE(WaitUntil(
      [&] {
        const auto pauses = ui.Pauses();
        return std::any_of(pauses.begin(), pauses.end(), [](const MemoryUi::Pause& pause) {
          return pause.reason == PauseReason::StoreBehind;
        });
      },
      Patience));
  // Closing names the rows held first; declined, no export is offered before the usual question.
  ui.SetMessageAnswer([](const MemoryUi::Message&) { return mb::PressedNo; });
  handlers.OnCollectorDestroyed(ui);
  const auto messages = ui.Messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].text.rfind("有 ", 0), 0u) << messages[0].text;
  EXPECT_EQ(messages[0].flags, mb::YesNo | mb::IconWarning);
  EXPECT_EQ(messages[1].text, "是否保存当前进度？");
  EXPECT_EQ(ui.InitialDirectory(), "");
  handlers.ShutDown();
  SetConnectTo("");
}

}  // namespace
}  // namespace shopwalk::test
