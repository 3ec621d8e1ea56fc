#include "store/progress_store.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "collect/controls.h"
#include "collect/gbk.h"
#include "collect/memory_ui.h"
#include "collect/text.h"
#include "scratch_directory.h"
#include "store/run_directory.h"

namespace shopwalk {
namespace {

using testing_support::Exists;
using testing_support::FileContent;
using testing_support::PutFile;
using testing_support::ScratchDirectory;

class ProgressStoreTest : public ::testing::Test {
 protected:
  // A fresh start of the program: a new window whose created event has run.
  std::string FieldAfterStart() {
    MemoryUi ui;
    OnCollectorCreated(ui, dir.path());
    return ui.Text(ctl::ShopIdEdit);
  }

  ScratchDirectory dir;
  std::string config = dir.File("config.ini");
};

TEST_F(ProgressStoreTest, FirstStartShowsTheDefaultAndCreatesNoFile) {
  MemoryUi ui;
  ui.SetTextColor(ctl::SettingsGroup, 0);
  OnCollectorCreated(ui, dir.path());
  EXPECT_EQ(ui.GetControl(ctl::SettingsGroup).textColor, 0x0000FFu);
  EXPECT_EQ(ui.Text(ctl::ShopIdEdit), "109428412");
  EXPECT_TRUE(ui.Messages().empty());
  EXPECT_EQ(dir.Listing(), "");
}

TEST_F(ProgressStoreTest, LoadsTheSavedTextOrFallsBackWhenItIsEmpty) {
  PutFile(config, "[Mivu]\r\nNow_ID=\r\n");
  EXPECT_EQ(FieldAfterStart(), "109428412");
  PutFile(config, "[Mivu]\r\nNow_ID=abc\r\n");
  EXPECT_EQ(FieldAfterStart(), "abc");
  PutFile(config, "[mivu]\nnow_id = 109500000\n");
  EXPECT_EQ(FieldAfterStart(), "109500000");
  PutFile(config, "[Other]\r\nNow_ID=5\r\n");
  EXPECT_EQ(FieldAfterStart(), "109428412");
  EXPECT_EQ(FileContent(config), "[Other]\r\nNow_ID=5\r\n");  // only read
}

// A shop-ID field that accepts digits only, like the real window's integer input.
class DigitsOnlyUi : public MemoryUi {
 public:
  void SetText(std::string_view control, std::string_view text) override {
    if (control != ctl::ShopIdEdit) return MemoryUi::SetText(control, text);
    std::string digits;
    for (char c : text) {
      if (c >= '0' && c <= '9') digits += c;
    }
    MemoryUi::SetText(control, digits);
  }
};

TEST_F(ProgressStoreTest, TheFallbackLooksAtWhatTheFieldKept) {
  PutFile(config, "[Mivu]\r\nNow_ID=abc\r\n");
  DigitsOnlyUi ui;
  OnCollectorCreated(ui, dir.path());
  EXPECT_EQ(ui.Text(ctl::ShopIdEdit), "109428412");
}

TEST_F(ProgressStoreTest, ASavedShopIdIsWhereTheNextStartResumes) {
  MemoryUi ui;
  ASSERT_TRUE(SaveProgress(ui, "109428999", dir.path()));
  EXPECT_EQ(FileContent(config), "[Mivu]\r\nNow_ID=109428999\r\n");
  EXPECT_EQ(FieldAfterStart(), "109428999");
  EXPECT_TRUE(ui.Messages().empty());

  // An emptied field is saved as an empty value; the next start falls back to the default.
  ASSERT_TRUE(SaveProgress(ui, "", dir.path()));
  EXPECT_EQ(FileContent(config), "[Mivu]\r\nNow_ID=\r\n");
  EXPECT_EQ(FieldAfterStart(), "109428412");
  EXPECT_EQ(dir.Listing(), "config.ini\n");
}

TEST_F(ProgressStoreTest, SavingKeepsTheRestOfTheFile) {
  const std::string before = "; mine\r\n[Window]\r\nX=1\r\n\r\n[Mivu]\r\nNow_ID=1\r\nMore=2\n";
  PutFile(config, before);
  MemoryUi ui;
  ASSERT_TRUE(SaveProgress(ui, "109430000", dir.path()));
  EXPECT_EQ(FileContent(config),
            "; mine\r\n[Window]\r\nX=1\r\n\r\n[Mivu]\r\nNow_ID=109430000\r\nMore=2\n");
}

TEST_F(ProgressStoreTest, AFailedSaveIsShownWithTheFileAndTheReason) {
  // The program's directory is a regular file here, so nothing can be written below it.
  std::string notADirectory = dir.File("blocked");
  PutFile(notADirectory, "");
  MemoryUi ui;
  EXPECT_FALSE(SaveProgress(ui, "109428999", notADirectory));
  auto messages = ui.Messages();
  ASSERT_EQ(messages.size(), 1u);
  std::string text = GbkToUtf8(messages[0].text);
  EXPECT_EQ(text, "进度保存失败：" + notADirectory + "/config.ini\r\nNot a directory");
  EXPECT_EQ(messages[0].flags, mb::Ok | mb::IconError);
  EXPECT_EQ(GbkToUtf8(messages[0].caption), "提示");
}

TEST_F(ProgressStoreTest, AsksWhetherToSave) {
  MemoryUi ui;
  int answer = mb::PressedNo;
  ui.SetMessageAnswer([&answer](const MemoryUi::Message&) { return answer; });
  EXPECT_FALSE(AskToSaveProgress(ui));
  answer = mb::PressedYes;
  EXPECT_TRUE(AskToSaveProgress(ui));
  auto messages = ui.Messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(GbkToUtf8(messages[0].text), "是否保存当前进度？");
  EXPECT_EQ(GbkToUtf8(messages[0].caption), "提示");
  EXPECT_EQ(messages[0].flags, 4);
}

TEST_F(ProgressStoreTest, ClosingStopsTheRunAndSavesOnlyOnYes) {
  MemoryUi ui;
  int answer = mb::PressedNo;
  ui.SetMessageAnswer([&answer](const MemoryUi::Message&) { return answer; });
  Collector collector(ui);
  ui.SetText(ctl::ShopIdEdit, "700");
  ui.SetText(ctl::ThreadCountEdit, "1");
  collector.OnStartClicked();
  const LockHandle lock = collector.Run().ResultLock.load();

  OnCollectorDestroyed(ui, collector, dir.path());
  EXPECT_FALSE(DeleteLock(lock));  // already deleted
  EXPECT_NE(collector.Run().WorkerPool.state(), ThreadPool::State::Running);
  EXPECT_EQ(dir.Listing(), "");  // No: nothing written
  ASSERT_EQ(ui.Messages().size(), 1u);
  EXPECT_EQ(GbkToUtf8(ui.Messages()[0].text), "是否保存当前进度？");
}

TEST_F(ProgressStoreTest, ClosingSavesThePlaceBeforeShopsTheRunDidNotFinish) {
  MemoryUi ui;
  Collector collector(ui);
  collector.SetPace(std::chrono::milliseconds(5));
  // No pool: every shop the dispatcher hands out is refused, so none is collected.
  ui.SetText(ctl::ShopIdEdit, "500");
  ui.SetText(ctl::ThreadCountEdit, "-1");
  collector.OnStartClicked();
  for (int i = 0; i < 4000 && TextToInt(ui.Text(ctl::ShopIdEdit)) < 505; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_GE(TextToInt(ui.Text(ctl::ShopIdEdit)), 505);

  OnCollectorDestroyed(ui, collector, dir.path());  // answered Yes
  EXPECT_EQ(FileContent(config), "[Mivu]\r\nNow_ID=500\r\n");

  // Without a run the field's text is saved as it stands.
  MemoryUi idle;
  Collector idleCollector(idle);
  idle.SetText(ctl::ShopIdEdit, "");
  OnCollectorDestroyed(idle, idleCollector, dir.path());
  EXPECT_EQ(FileContent(config), "[Mivu]\r\nNow_ID=\r\n");
}

TEST(RunDirectoryTest, IsTheFolderOfTheRunningProgram) {
  std::string directory = RunDirectory();
  ASSERT_FALSE(directory.empty());
  EXPECT_EQ(directory.front(), '/');
  EXPECT_NE(directory.back(), '/');
  EXPECT_TRUE(Exists(PathInDirectory(directory, "store_tests")));
  EXPECT_EQ(ConfigPath(), directory + "/config.ini");
  EXPECT_EQ(PathInDirectory("/", "config.ini"), "/config.ini");
  EXPECT_EQ(PathInDirectory("/a/", "config.ini"), "/a/config.ini");
}

}  // namespace
}  // namespace shopwalk
