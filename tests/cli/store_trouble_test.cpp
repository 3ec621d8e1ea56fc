// A walk of shopwalk-cli whose store's disk fills up under it, run in this process so that the
// limited-space VFS stands in for the disk: stopped by SIGTERM, the walk exits with 1
// naming the rows it could not write, and the place it left in the store is before all of them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <set>
#include <string>
#include <thread>

#include "cli/commands.h"
#include "collect/text.h"
#include "net/transfer_abort.h"
#include "net/web_access.h"
#include "results/sqlite/sqlite_store.h"
#include "tests/cli/cli_fixture.h"
#include "tests/results/limited_space_vfs.h"

namespace shopwalk::test {
namespace {

// Blocks SIGINT, SIGTERM and SIGUSR1 on the test's thread before any other thread starts, so that
// every thread inherits the mask and the walk's own signal thread alone takes them, as in the
// program.
class SignalsForTheWalk {
 protected:
  SignalsForTheWalk() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
  }
};

// Standard error written to a file while it lives.
class CapturedErrors {
 public:
  explicit CapturedErrors(std::string path) : path_(std::move(path)) {
    std::fflush(stderr);
    saved_ = ::dup(STDERR_FILENO);
    const int file = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ::dup2(file, STDERR_FILENO);
    ::close(file);
  }
  ~CapturedErrors() {
    std::fflush(stderr);
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
  }
  CapturedErrors(const CapturedErrors&) = delete;
  CapturedErrors& operator=(const CapturedErrors&) = delete;

  std::string Text() const {
    std::fflush(stderr);
    return FileContent(path_).value_or("");
  }

 private:
  std::string path_;
  int saved_ = -1;
};

// Shop IDs of the rows in a text output of the walk, in their order.
std::vector<std::int32_t> OutputIds(const std::string& text) {
  std::vector<std::int32_t> ids;
  const std::string lead = "http://shop";
  for (std::size_t at = text.find(lead); at != std::string::npos; at = text.find(lead, at + 1)) {
    ids.push_back(TextToInt(text.substr(at + lead.size(), text.find('.', at) - at - lead.size())));
  }
  return ids;
}

class StoreTroubleTest : private SignalsForTheWalk, public CliTest {};

TEST_F(StoreTroubleTest, AFullDiskEndsTheWalkWithOneNamingTheRowsNotWritten) {
  InitWebAccess();
  SetConnectTo(market.ConnectAddress());
  auto vfs = std::make_unique<LimitedSpaceVfs>();
  const std::string out = dir.File("rows.txt");
  WalkCommand command;
  command.from = 1000;
  command.threads = 4;
  command.db = db;
  command.out = out;
  command.quiet = true;
  Folders folders;
  folders.settings = folders.settingsRead = dir.File("config");
  folders.store = db;

  std::optional<CapturedErrors> errors(std::in_place, dir.File("errors.txt"));
  int code = -1;
  std::thread walker([&] { code = RunWalk(command, folders); });
  ASSERT_TRUE(WaitUntil(
      [&] {
        const auto rows = StoredRowCount(db);
        return rows && *rows >= 2;
      },
      Patience));
  vfs->AllowBytes(0);
  ASSERT_TRUE(
      WaitUntil([&] { return errors->Text().find("cannot write the store") != std::string::npos; },
                Patience));
  // Nothing reaches the disk from here on: a row in the output beyond those stored is held.
  const std::optional<std::size_t> storedAtFailure = StoredRowCount(db);
  ASSERT_TRUE(storedAtFailure.has_value());
  ASSERT_TRUE(
      WaitUntil([&] { return OutputIds(FileContent(out).value_or("")).size() > *storedAtFailure; },
                Patience));
  ASSERT_EQ(::kill(::getpid(), SIGTERM), 0);
  walker.join();
  const std::string said = errors->Text();
  errors.reset();
  SetConnectTo("");
  ResetTransferAbort();

  EXPECT_EQ(code, 1) << said;
  EXPECT_NE(said.find("; stopped by SIGTERM; the store could not write everything"),
            std::string::npos)
      << said;
  // "shopwalk-cli: N rows were not written to the store DB (shop IDs A to B), ...".
  const std::size_t named = said.find(" not written to the store " + db + " (shop IDs ");
  ASSERT_NE(named, std::string::npos) << said;
  const std::size_t line = said.rfind('\n', named) + 1;
  std::uint64_t unwritten = 0;
  std::int32_t lowest = 0, highest = 0;
  ASSERT_EQ(std::sscanf(said.c_str() + line, "shopwalk-cli: %" SCNu64, &unwritten), 1) << said;
  ASSERT_EQ(std::sscanf(said.c_str() + said.find("(shop IDs ", named),
                        "(shop IDs %" SCNd32 " to %" SCNd32 ")", &lowest, &highest),
            2)
      << said;

  // Read once the disk has room again: only what was written before it filled is there.
  vfs.reset();
  const std::vector<std::int32_t> found = OutputIds(FileContent(out).value_or(""));
  std::set<std::int32_t> stored;
  for (const ShopRecord& record : StoredShops(db)) stored.insert(record.shopId);
  std::set<std::int32_t> missing;
  for (const std::int32_t id : found) {
    if (stored.count(id) == 0) missing.insert(id);
  }
  EXPECT_EQ(stored.size(), *storedAtFailure);
  ASSERT_FALSE(missing.empty());
  EXPECT_EQ(unwritten, missing.size());
  EXPECT_EQ(lowest, *missing.begin());
  EXPECT_EQ(highest, *missing.rbegin());
  // The place left in the store is before every row it could not write.
  auto reading = SqliteStore::OpenForReading(db);
  ASSERT_TRUE(reading) << reading.error().reason;
  const std::optional<std::string> place = (*reading)->LastPlace(RunKind::CommandLine).value();
  ASSERT_TRUE(place.has_value());
  EXPECT_GE(TextToInt(*place), 999);
  EXPECT_LT(TextToInt(*place), lowest);

  std::printf("full disk on the command line: %zu rows written, %zu held, %" PRIu64
              " shown as unwritten\n",
              stored.size(), missing.size(), unwritten);
  RecordProperty("rows_written", static_cast<int>(stored.size()));
  RecordProperty("rows_held", static_cast<int>(missing.size()));
  RecordProperty("rows_shown_unwritten", static_cast<int>(unwritten));
}

}  // namespace
}  // namespace shopwalk::test
