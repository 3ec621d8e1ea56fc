// The results store's file under stress: a second walking copy, readers during a walk, a writer
// killed mid-transaction, damaged files, folders that may not be written, a full disk, and a
// store written by an earlier version of the program.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <random>
#include <set>
#include <thread>

#include "results/sqlite/schema.h"
#include "results/sqlite/sqlite.h"
#include "results/sqlite/sqlite_store.h"
#include "tests/results/limited_space_vfs.h"
#include "tests/results/store_test_support.h"
#include "tests/support/child_process.h"
#include "tests/support/manual_clock.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/unprivileged.h"

namespace shopwalk {
namespace {

using test::AllRows;
using test::IdsOf;
using test::RecordText;
using test::SampleRecord;
using test::ScratchDirectory;
using test::WalkingStore;

constexpr auto Patience = std::chrono::seconds(60);

TEST(StoreFilesTest, OneWalkingCopyAtATimeAndReadersBeside) {
  ScratchDirectory dir;
  std::string path = dir.File("results.db");
  auto first = WalkingStore(path);
  ASSERT_TRUE(first);
  first->BeginRun(RunKind::Window, "0");
  first->RowAppended(SampleRecord(1));
  ASSERT_TRUE(first->Flush(Patience));

  auto second = SqliteStore::OpenForWalking(path);
  EXPECT_FALSE(second);
  EXPECT_EQ(second.error().kind, StoreProblem::Kind::InUse);
  EXPECT_EQ(second.error().path, path);
  EXPECT_NE(second.error().reason.find("(process " + std::to_string(::getpid()) + ")"),
            std::string::npos)
      << second.error().reason;

  auto reader = test::ReadingStore(path);
  ASSERT_TRUE(reader);
  EXPECT_EQ(IdsOf(AllRows(*reader)), (std::vector<std::int32_t>{1}));

  first.reset();
  auto next = WalkingStore(path);
  ASSERT_TRUE(next);
  EXPECT_EQ(IdsOf(AllRows(*reader)), (std::vector<std::int32_t>{1}));
}

// Holds the store at `path` for walking in a child process until the returned descriptor is
// closed; the child's ID, or -1 when it could not open the store.
pid_t HoldInChild(const std::string& path, int& release) {
  int ready[2], done[2];
  if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(done, O_CLOEXEC) != 0) return -1;
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(ready[0]);
    ::close(done[1]);
    const auto opening = SqliteStore::OpenForWalking(path);
    const char answer = opening ? 'y' : 'n';
    if (::write(ready[1], &answer, 1) != 1) ::_exit(2);
    char ignored = 0;
    while (::read(done[0], &ignored, 1) < 0 && errno == EINTR) {
    }
    ::_exit(0);
  }
  ::close(ready[1]);
  ::close(done[0]);
  char answer = 'n';
  const bool opened = child > 0 && ::read(ready[0], &answer, 1) == 1 && answer == 'y';
  ::close(ready[0]);
  release = done[1];
  return opened ? child : -1;
}

// A symbolic link, a hard link or a path through ".." reaches the same file, and the same lock:
// two walks never write into one store, and the refused one is told who holds it.
TEST(StoreFilesTest, EveryNameOfAStoreMeetsTheSameWalkingLock) {
  ScratchDirectory dir;
  const std::string path = dir.File("results.db");
  ASSERT_EQ(::mkdir(dir.File("sub").c_str(), 0755), 0);
  const std::string symlinked = dir.File("link.db");
  ASSERT_EQ(::symlink("results.db", symlinked.c_str()), 0);
  const std::string throughParent = dir.File("sub/../results.db");

  // The first copy, in a process of its own, creates the store.
  int release = -1;
  const pid_t holder = HoldInChild(path, release);
  ASSERT_GT(holder, 0);
  const std::string hardLinked = dir.File("hard.db");
  ASSERT_EQ(::link(path.c_str(), hardLinked.c_str()), 0);
  EXPECT_EQ(test::FileContent(path + ".lock"), std::to_string(holder) + "\n");
  for (const std::string& name : {symlinked, hardLinked, throughParent}) {
    SCOPED_TRACE(name);
    const auto second = SqliteStore::OpenForWalking(name);
    EXPECT_FALSE(second);
    EXPECT_EQ(second.error().kind, StoreProblem::Kind::InUse);
    EXPECT_NE(second.error().reason.find("(process " + std::to_string(holder) + ")"),
              std::string::npos)
        << second.error().reason;
  }
  ::close(release);
  int status = 0;
  ASSERT_EQ(::waitpid(holder, &status, 0), holder);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  // Once it has ended, a walk through the link takes the store; other names in this process
  // are refused too.
  auto first = WalkingStore(symlinked);
  ASSERT_TRUE(first);
  EXPECT_EQ(test::FileContent(path + ".lock"), std::to_string(::getpid()) + "\n");
  for (const std::string& name : {path, hardLinked, throughParent}) {
    const auto second = SqliteStore::OpenForWalking(name);
    EXPECT_EQ(second.error().kind, StoreProblem::Kind::InUse) << name;
    EXPECT_NE(second.error().reason.find("(process " + std::to_string(::getpid()) + ")"),
              std::string::npos)
        << second.error().reason;
  }
  first->BeginRun(RunKind::Window, "0");
  first->RowAppended(SampleRecord(1));
  first.reset();
  auto next = WalkingStore(hardLinked);
  ASSERT_TRUE(next);
  EXPECT_EQ(IdsOf(AllRows(*next)), (std::vector<std::int32_t>{1}));
}

// The lock file's content is replaced by the holder's process ID, so a link planted in its place
// is not followed: the file it names keeps its content.
TEST(StoreFilesTest, ALockFileThatIsASymbolicLinkIsRefused) {
  ScratchDirectory dir;
  const std::string victim = dir.File("profile");
  test::PutFile(victim, "keep me\n");
  const std::string path = dir.File("results.db");
  ASSERT_EQ(::symlink(victim.c_str(), (path + ".lock").c_str()), 0);
  const auto opening = SqliteStore::OpenForWalking(path);
  EXPECT_FALSE(opening);
  EXPECT_NE(opening.error().reason.find("symbolic link"), std::string::npos)
      << opening.error().reason;
  EXPECT_EQ(test::FileContent(victim), "keep me\n");
  // Nothing holds the store afterwards.
  ASSERT_EQ(::unlink((path + ".lock").c_str()), 0);
  EXPECT_TRUE(WalkingStore(path));
}

// The walk reports ID after ID: IDs divisible by 3 as "no fields", the others as rows, each
// followed by the place. Whatever a snapshot holds must be a prefix of that: every ID up to the
// place, and at most the one after it.
void ExpectPrefixOfWalk(const std::vector<std::int32_t>& rowIds, const std::string& place,
                        std::int32_t divisor, std::int32_t first = 1) {
  std::int32_t reached = place.empty() ? first - 1 : std::stoi(place);
  std::vector<std::int32_t> expected;
  for (std::int32_t id = first; id <= reached; ++id) {
    if (id % divisor != 0) expected.push_back(id);
  }
  std::vector<std::int32_t> withNext = expected;
  if ((reached + 1) % divisor != 0) withNext.push_back(reached + 1);
  EXPECT_TRUE(rowIds == expected || rowIds == withNext)
      << "place " << place << ", " << rowIds.size() << " rows, last "
      << (rowIds.empty() ? 0 : rowIds.back());
}

TEST(StoreFilesTest, ReadersSeeAPrefixOfTheReportsWhileAWalkWrites) {
  ScratchDirectory dir;
  std::string path = dir.File("results.db");
  auto walker = WalkingStore(path);
  ASSERT_TRUE(walker);
  walker->BeginRun(RunKind::Window, "0");
  ASSERT_TRUE(walker->Flush(Patience));
  auto reader = test::ReadingStore(path);
  ASSERT_TRUE(reader);

  constexpr std::int32_t Last = 4000;
  std::atomic<bool> done{false};
  std::thread walk([&] {
    for (std::int32_t id = 1; id <= Last; ++id) {
      if (id % 3 == 0) {
        walker->Answered(id, ShopOutcome::NoFields);
      } else {
        walker->RowAppended(SampleRecord(id));
      }
      walker->PlaceMoved(std::to_string(id));
      if (id % 40 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    walker->Flush(Patience);
    done = true;
  });
  int snapshots = 0;
  std::size_t lastSeen = 0;
  while (!done || snapshots == 0) {
    auto run = reader->Interrupted(RunKind::Window).value();
    ASSERT_TRUE(run);
    ExpectPrefixOfWalk(IdsOf(run->rows), run->place, 3);
    EXPECT_GE(run->rows.size(), lastSeen);
    lastSeen = run->rows.size();
    StoreSummary summary = reader->Summary().value();
    EXPECT_EQ(summary.rows, summary.rows);
    ++snapshots;
  }
  walk.join();
  auto run = reader->Interrupted(RunKind::Window).value();
  ASSERT_TRUE(run);
  EXPECT_EQ(run->place, std::to_string(Last));
  ExpectPrefixOfWalk(IdsOf(run->rows), run->place, 3);
  EXPECT_EQ(reader->Summary().value().highestWalked, Last);
}

// The child's side of the torn-write test: opens the store, continues its command-line run (or
// begins one), and walks on until killed, writing each durable count to `pipe`.
[[noreturn]] void WalkUntilKilled(const std::string& path, int pipe) {
  auto opening = SqliteStore::OpenForWalking(path);
  if (!opening) ::_exit(2);
  SqliteStore& store = **opening;
  std::atomic<std::uint64_t> durable{0};
  store.OnDurable([&](std::uint64_t rows) {
    durable = rows;
    if (::write(pipe, &rows, sizeof rows) != static_cast<ssize_t>(sizeof rows)) ::_exit(3);
  });
  std::int32_t id = 1;
  if (auto run = store.Interrupted(RunKind::CommandLine).value()) {
    store.ContinueRun(run->runId);
    // The row after the place may have landed without its place.
    id = std::stoi(run->place) + 1;
    if (!run->rows.empty()) id = std::max(id, run->rows.back().shopId + 1);
  } else {
    store.BeginRun(RunKind::CommandLine, "0");
  }
  for (std::uint64_t reported = 0;; ++id) {
    if (id % 4 == 0) {
      store.Answered(id, ShopOutcome::NoShop);
    } else {
      store.RowAppended(SampleRecord(id));
      ++reported;
    }
    store.PlaceMoved(std::to_string(id));
    // Keep the queue short, so the writer is always in the middle of a transaction.
    while (reported > durable + 5000) std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

TEST(StoreFilesTest, AWriterKilledMidTransactionLeavesAConsistentPrefix) {
  ScratchDirectory dir;
  std::string path = dir.File("results.db");
  std::mt19937 random(7);
  std::size_t rowsBefore = 0;
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    std::fflush(nullptr);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(pipe[0]);
      WalkUntilKilled(path, pipe[1]);
    }
    ::close(pipe[1]);
    // Wait until some thousands of rows are durable, then kill the child at a random moment.
    std::uint64_t durable = 0;
    pollfd readable{pipe[0], POLLIN, 0};
    while (durable < 3000 && ::poll(&readable, 1, 60000) == 1) {
      std::uint64_t rows = 0;
      if (::read(pipe[0], &rows, sizeof rows) != static_cast<ssize_t>(sizeof rows)) break;
      durable = rows;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 80000));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended by itself, status " << status;
    // Counts the child had sent before it died.
    std::uint64_t rows = 0;
    while (::read(pipe[0], &rows, sizeof rows) == static_cast<ssize_t>(sizeof rows)) durable = rows;
    ::close(pipe[0]);
    ASSERT_GE(durable, 3000u);

    EXPECT_EQ(test::IntegrityCheck(path), "ok");
    auto store = WalkingStore(path);
    ASSERT_TRUE(store);
    auto run = store->Interrupted(RunKind::CommandLine).value();
    ASSERT_TRUE(run);
    ExpectPrefixOfWalk(IdsOf(run->rows), run->place, 4);
    // Nothing that was reported durable is missing.
    EXPECT_GE(run->rows.size(), rowsBefore + durable);
    std::int32_t reached = std::stoi(run->place);
    std::vector<test::StoredRange> ranges = test::StoredRanges(path);
    EXPECT_TRUE(ranges.size() == static_cast<std::size_t>(reached / 4) ||
                ranges.size() == static_cast<std::size_t>((reached + 1) / 4));
    for (const ShopRecord& row : run->rows) {
      ASSERT_EQ(RecordText(row), RecordText(SampleRecord(row.shopId)));
    }
    rowsBefore = run->rows.size();
  }
}

TEST(StoreFilesTest, DamagedOrForeignFilesGiveAProblemNotACrash) {
  ScratchDirectory dir;
  auto expectProblem = [](const std::string& path, StoreProblem::Kind kind) {
    SCOPED_TRACE(path);
    for (bool walking : {true, false}) {
      auto opening =
          walking ? SqliteStore::OpenForWalking(path) : SqliteStore::OpenForReading(path);
      EXPECT_FALSE(opening);
      EXPECT_EQ(opening.error().kind, kind) << opening.error().reason;
      EXPECT_EQ(opening.error().path, path);
      EXPECT_FALSE(opening.error().reason.empty());
    }
  };

  std::string garbage(16384, '\0');
  std::mt19937 random(1);
  for (char& byte : garbage) byte = static_cast<char>(random());
  test::PutFile(dir.File("garbage.db"), garbage);
  expectProblem(dir.File("garbage.db"), StoreProblem::Kind::Corrupt);
  test::PutFile(dir.File("text.db"), "shop list\r\n");
  expectProblem(dir.File("text.db"), StoreProblem::Kind::Corrupt);

  {
    sqlite::Connection other;
    ASSERT_TRUE(other.Open(dir.File("other.db"), sqlite::Connection::Access::ReadWriteCreate));
    ASSERT_TRUE(other.Execute("CREATE TABLE notes (text TEXT)"));
  }
  expectProblem(dir.File("other.db"), StoreProblem::Kind::Corrupt);

  // A store from a newer program is left alone.
  std::string newer = dir.File("newer.db");
  ASSERT_TRUE(WalkingStore(newer));
  {
    sqlite::Connection connection;
    ASSERT_TRUE(connection.Open(newer, sqlite::Connection::Access::ReadWriteCreate));
    ASSERT_TRUE(connection.Execute("PRAGMA user_version = 99"));
  }
  expectProblem(newer, StoreProblem::Kind::Other);

  // A store whose header was overwritten.
  std::string damaged = dir.File("damaged.db");
  {
    auto store = WalkingStore(damaged);
    ASSERT_TRUE(store);
    store->BeginRun(RunKind::Window, "0");
    for (std::int32_t id = 1; id <= 500; ++id) store->RowAppended(SampleRecord(id));
  }
  std::string bytes = *test::FileContent(damaged);
  std::fill_n(bytes.begin(), 100, '\x5a');
  test::PutFile(damaged, bytes);
  expectProblem(damaged, StoreProblem::Kind::Corrupt);

  // Missing: nothing to read, and no folder to create a store in.
  expectProblem(dir.File("absent/results.db"), StoreProblem::Kind::Other);
  auto absent = SqliteStore::OpenForReading(dir.File("absent.db"));
  EXPECT_FALSE(absent);
  EXPECT_FALSE(SqliteStore::OpenForWalking(""));
  // A folder where the file should be.
  ASSERT_EQ(::mkdir(dir.File("folder.db").c_str(), 0700), 0);
  EXPECT_FALSE(SqliteStore::OpenForWalking(dir.File("folder.db")));

  // An empty file becomes a store.
  test::PutFile(dir.File("empty.db"), "");
  auto store = WalkingStore(dir.File("empty.db"));
  ASSERT_TRUE(store);
  store->RowAppended(SampleRecord(1));
  EXPECT_EQ(IdsOf(AllRows(*store)), (std::vector<std::int32_t>{1}));
}

TEST(StoreFilesTest, PagesDamagedInsideAStoreAreReportedWhenMet) {
  ScratchDirectory dir;
  std::string path = dir.File("results.db");
  {
    auto store = WalkingStore(path);
    ASSERT_TRUE(store);
    store->BeginRun(RunKind::Window, "0");
    for (std::int32_t id = 1; id <= 3000; ++id) store->RowAppended(SampleRecord(id));
  }
  std::string bytes = *test::FileContent(path);
  ASSERT_GT(bytes.size(), 40000u);
  // Scribble over every page after the first few, keeping the header page.
  for (std::size_t i = 4 * 4096; i < bytes.size(); i += 97) bytes[i] = '\x33';
  test::PutFile(path, bytes);

  auto opening = SqliteStore::OpenForWalking(path);
  if (!opening) {
    EXPECT_EQ(opening.error().kind, StoreProblem::Kind::Corrupt) << opening.error().reason;
    return;
  }
  // Opened: a read that meets the damage says so instead of answering as if the store were empty,
  // and writing tells of it instead of crashing.
  SqliteStore& store = **opening;
  test::StoreWatcher watcher(store);
  std::size_t visited = 0;
  const auto rows = store.ForEachRow([&](const ShopRecord&) { ++visited; });
  ASSERT_FALSE(rows) << visited << " rows read";
  EXPECT_EQ(rows.error().kind, StoreProblem::Kind::Corrupt) << rows.error().reason;
  EXPECT_EQ(rows.error().path, path);
  // Smaller reads may miss the damaged pages; when they meet them they say so.
  const auto summary = store.Summary();
  if (!summary) {
    EXPECT_EQ(summary.error().kind, StoreProblem::Kind::Corrupt);
  }
  const auto interrupted = store.Interrupted(RunKind::Window);
  if (!interrupted) {
    EXPECT_EQ(interrupted.error().kind, StoreProblem::Kind::Corrupt);
  }
  store.ContinueRun(1);
  for (std::int32_t id = 1; id <= 3000; id += 7) store.RowAppended(SampleRecord(id, "new"));
  EXPECT_FALSE(store.Flush(std::chrono::seconds(2)));
  EXPECT_TRUE(watcher.WaitForTrouble(StoreProblem::Kind::Corrupt));
}

// Permission bits bind only an ordinary user: these cases run as one, also in CI as root.
TEST(StoreFilesTest, AFolderOrFileThatMayNotBeWrittenIsNotWritable) {
  ScratchDirectory dir;
  dir.HandTo(test::UnprivilegedUser, test::UnprivilegedGroup);
  test::RunUnprivileged([&] {
    auto expectNotWritable = [](const std::string& path) {
      auto opening = SqliteStore::OpenForWalking(path);
      EXPECT_FALSE(opening);
      EXPECT_EQ(opening.error().kind, StoreProblem::Kind::NotWritable) << opening.error().reason;
      EXPECT_EQ(opening.error().path, path);
      EXPECT_NE(opening.error().reason.find("Permission denied"), std::string::npos)
          << opening.error().reason;
    };
    // A new store in a read-only folder.
    std::string locked = dir.File("locked");
    ASSERT_EQ(::mkdir(locked.c_str(), 0555), 0);
    expectNotWritable(locked + "/results.db");

    // A store whose folder became read-only after it was written (its lock file is there).
    std::string later = dir.File("later");
    ASSERT_EQ(::mkdir(later.c_str(), 0755), 0);
    {
      auto store = WalkingStore(later + "/results.db");
      ASSERT_TRUE(store);
      store->BeginRun(RunKind::Window, "0");
      store->RowAppended(SampleRecord(1));
    }
    ASSERT_EQ(::chmod(later.c_str(), 0555), 0);
    expectNotWritable(later + "/results.db");
    // Reading too needs to create SQLite's shared index beside the store.
    auto reading = SqliteStore::OpenForReading(later + "/results.db");
    EXPECT_FALSE(reading);
    EXPECT_EQ(reading.error().kind, StoreProblem::Kind::NotWritable) << reading.error().reason;

    // A read-only store file in a folder we may write.
    std::string readOnly = dir.File("read-only.db");
    ASSERT_TRUE(WalkingStore(readOnly));
    ASSERT_EQ(::chmod(readOnly.c_str(), 0444), 0);
    expectNotWritable(readOnly);
    // Reading it needs no write.
    auto reader = test::ReadingStore(readOnly);
    ASSERT_TRUE(reader);
    EXPECT_TRUE(AllRows(*reader).empty());
  });
}

// A small file system for the full-disk cases: a tmpfs mounted in the scratch folder where that
// is allowed (as root, as in CI), else writes limited by a VFS that stands in for the disk.
class SmallDisk {
 public:
  explicit SmallDisk(const ScratchDirectory& dir) : folder_(dir.File("small")) {
    if (::mkdir(folder_.c_str(), 0700) != 0) ADD_FAILURE() << "mkdir " << folder_;
    mounted_ = ::mount("tmpfs", folder_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=4m") == 0;
    if (!mounted_) vfs_ = std::make_unique<test::LimitedSpaceVfs>();
  }
  ~SmallDisk() {
    if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
  }
  const std::string& Folder() const { return folder_; }
  bool Mounted() const { return mounted_; }

  // Takes all the space that is left.
  void Fill() {
    if (!mounted_) {
      vfs_->AllowBytes(0);
      return;
    }
    int fd =
        ::open((folder_ + "/ballast").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    std::string block(4096, 'b');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    EXPECT_EQ(errno, ENOSPC);
    ::close(fd);
  }
  void Free() {
    if (mounted_) {
      ::unlink((folder_ + "/ballast").c_str());
    } else {
      vfs_->Unlimited();
    }
  }

 private:
  std::string folder_;
  bool mounted_ = false;
  std::unique_ptr<test::LimitedSpaceVfs> vfs_;
};

TEST(StoreFilesTest, OnAFullDiskNothingIsLostAndTheQueuedRowsLandOnceThereIsSpace) {
  ScratchDirectory dir;
  SmallDisk disk(dir);
  std::string path = disk.Folder() + "/results.db";
  auto store = WalkingStore(path);
  ASSERT_TRUE(store);
  test::StoreWatcher watcher(*store);
  store->BeginRun(RunKind::Window, "0");
  std::int32_t next = 1;
  auto report = [&](int count) {
    for (int i = 0; i < count; ++i, ++next) {
      if (next % 5 == 0) {
        store->Answered(next, ShopOutcome::NoShop);
      } else {
        store->RowAppended(SampleRecord(next, std::string(1000, '\xa1')));
      }
      store->PlaceMoved(std::to_string(next));
    }
  };
  report(200);
  ASSERT_TRUE(store->Flush(Patience));

  disk.Fill();
  // Rows go on coming until the writer finds the disk full (the log may still have room).
  for (int i = 0;
       i < 2000 && !watcher.WaitForTrouble(StoreProblem::Kind::Full, std::chrono::milliseconds(20));
       ++i) {
    report(20);
  }
  ASSERT_TRUE(watcher.WaitForTrouble(StoreProblem::Kind::Full, std::chrono::seconds(0)))
      << (disk.Mounted() ? "tmpfs" : "limited VFS");
  std::optional<StoreProblem> problem = watcher.Told().front();
  ASSERT_TRUE(problem);
  EXPECT_EQ(problem->path, path);
  EXPECT_FALSE(problem->reason.empty());
  // More reports while the disk is full wait in memory.
  report(300);
  EXPECT_FALSE(store->Flush(std::chrono::milliseconds(600)));

  // A new store cannot be created on the full disk either.
  auto another = SqliteStore::OpenForWalking(disk.Folder() + "/another.db");
  EXPECT_FALSE(another);
  EXPECT_EQ(another.error().kind, StoreProblem::Kind::Full) << another.error().reason;

  disk.Free();
  ASSERT_TRUE(store->Flush(Patience));
  EXPECT_TRUE(watcher.WaitForRecovery());
  std::int32_t last = next - 1;
  auto expectEverything = [&](ResultStore& target) {
    auto run = target.Interrupted(RunKind::Window).value();
    ASSERT_TRUE(run);
    EXPECT_EQ(run->place, std::to_string(last));
    ASSERT_EQ(run->rows.size(), static_cast<std::size_t>(last - last / 5));
    for (const ShopRecord& row : run->rows) {
      ASSERT_NE(row.shopId % 5, 0);
      ASSERT_EQ(RecordText(row), RecordText(SampleRecord(row.shopId, std::string(1000, '\xa1'))));
    }
    EXPECT_EQ(target.Summary().value().highestWalked, last);
  };
  expectEverything(*store);
  EXPECT_EQ(watcher.DurableRows(), static_cast<std::uint64_t>(last - last / 5));
  store.reset();
  EXPECT_EQ(test::IntegrityCheck(path), "ok");
  auto reopened = WalkingStore(path);
  ASSERT_TRUE(reopened);
  expectEverything(*reopened);
}

// While writes fail the store holds the walk as soon as rows wait (answers alone only at the
// bound), says how many rows wait and which, and keeps its durable place where the disk left it.
TEST(StoreFilesTest, FailingWritesHoldTheWalkWhileRowsWaitAndKeepTheDurablePlace) {
  ScratchDirectory dir;
  test::LimitedSpaceVfs vfs;
  std::string path = dir.File("results.db");
  auto store = WalkingStore(path);
  ASSERT_TRUE(store);
  test::StoreWatcher watcher(*store);
  store->BeginRun(RunKind::CommandLine, "0");
  for (std::int32_t id = 1; id <= 10; ++id) {
    store->RowAppended(SampleRecord(id));
    store->PlaceMoved(std::to_string(id));
  }
  ASSERT_TRUE(store->Flush(Patience));
  EXPECT_FALSE(store->Congested());
  EXPECT_EQ(store->Backlog().reports, 0u);
  EXPECT_EQ(store->DurablePlace(), "10");

  vfs.AllowBytes(0);
  // Answers and places alone: the walk goes on up to the bound.
  std::int32_t next = 11;
  store->Answered(next, ShopOutcome::NoShop);
  store->PlaceMoved(std::to_string(next++));
  EXPECT_FALSE(store->Flush(std::chrono::milliseconds(0)));
  ASSERT_TRUE(watcher.WaitForTrouble(StoreProblem::Kind::Full));
  EXPECT_FALSE(store->Congested());
  while (store->Backlog().reports + 1 < MaxWaitingReports) {
    store->Answered(next++, ShopOutcome::NoShop);
  }
  EXPECT_FALSE(store->Congested());
  store->Answered(next++, ShopOutcome::NoShop);
  EXPECT_TRUE(store->Congested());
  const std::int32_t lastAnswer = next - 1;
  store->PlaceMoved(std::to_string(lastAnswer));

  // Rows held in memory hold the walk at once, below the bound as well.
  ASSERT_TRUE(watcher.Told().back().has_value());
  for (std::int32_t id : {lastAnswer + 5, lastAnswer + 2, lastAnswer + 9}) {
    store->RowAppended(SampleRecord(id));
  }
  StoreBacklog backlog = store->Backlog();
  EXPECT_EQ(backlog.rows, 3u);
  EXPECT_EQ(backlog.lowestRow, lastAnswer + 2);
  EXPECT_EQ(backlog.highestRow, lastAnswer + 9);
  ASSERT_TRUE(backlog.problem.has_value());
  EXPECT_EQ(backlog.problem->kind, StoreProblem::Kind::Full);
  EXPECT_EQ(store->DurablePlace(), "10");
  // The listener hears of the rows waiting as their number changes.
  ASSERT_TRUE(test::WaitUntil(
      [&] {
        const auto told = watcher.Told();
        return told.back() && told.back()->unwrittenRows == 3;
      },
      Patience));

  vfs.Unlimited();
  ASSERT_TRUE(store->Flush(Patience));
  EXPECT_FALSE(store->Congested());
  backlog = store->Backlog();
  EXPECT_EQ(backlog.reports, 0u);
  EXPECT_EQ(backlog.rows, 0u);
  EXPECT_FALSE(backlog.lowestRow.has_value());
  EXPECT_FALSE(backlog.problem.has_value());
  EXPECT_EQ(store->DurablePlace(), std::to_string(lastAnswer));
  EXPECT_TRUE(watcher.WaitForRecovery());
  EXPECT_EQ(watcher.DurableRows(), 13u);
}

// Writes refused at many points of a transaction (the log's frames, its header, a checkpoint):
// each time the store recovers with everything, in order.
TEST(StoreFilesTest, WritesRefusedAtAnyPointAreRetriedUntilEverythingLands) {
  ScratchDirectory dir;
  test::LimitedSpaceVfs vfs;
  std::string path = dir.File("results.db");
  auto store = WalkingStore(path);
  ASSERT_TRUE(store);
  test::StoreWatcher watcher(*store);
  store->BeginRun(RunKind::CommandLine, "0");
  std::int32_t next = 1;
  std::int64_t refusedBefore = 0;
  for (std::int64_t budget : {0, 1000, 4096, 4200, 8200, 20000, 60000, 150000}) {
    SCOPED_TRACE("budget " + std::to_string(budget));
    vfs.AllowBytes(budget);
    for (int i = 0; i < 400; ++i, ++next) {
      if (next % 3 == 0) {
        store->Answered(next, ShopOutcome::NoShop);
      } else {
        store->RowAppended(SampleRecord(next));
      }
      store->PlaceMoved(std::to_string(next));
    }
    store->Flush(std::chrono::milliseconds(200));
    vfs.Unlimited();
    ASSERT_TRUE(store->Flush(Patience));
    auto run = store->Interrupted(RunKind::CommandLine).value();
    ASSERT_TRUE(run);
    EXPECT_EQ(run->place, std::to_string(next - 1));
    ExpectPrefixOfWalk(IdsOf(run->rows), run->place, 3);
    EXPECT_GE(vfs.RefusedWrites(), refusedBefore);
    refusedBefore = vfs.RefusedWrites();
  }
  EXPECT_GT(vfs.RefusedWrites(), 0);
  EXPECT_TRUE(watcher.WaitForTrouble(StoreProblem::Kind::Full, std::chrono::seconds(0)));
  std::vector<std::optional<StoreProblem>> told = watcher.Told();
  ASSERT_FALSE(told.empty());
  EXPECT_FALSE(told.back().has_value());
  store.reset();
  EXPECT_EQ(test::IntegrityCheck(path), "ok");
  EXPECT_EQ(test::StoredRanges(path).size(), static_cast<std::size_t>((next - 1) / 3));
}

// A store of the first layout (tests/results/fixtures/store-version1.db, written by the version
// before kept pages: runs of both kinds, the window's interrupted; rows with GBK names; answers; a
// failed shop; and a shop its pages stopped matching for, then kept as a failure) opens for
// walking upgraded in place, with everything it held, the mark as a mark. Reading it before the
// upgrade says how to upgrade it.
TEST(StoreFilesTest, AStoreOfTheFirstLayoutOpensUpgradedWithEverythingItHeld) {
  ScratchDirectory dir;
  const std::string path = dir.File("results.db");
  {
    const auto fixture = test::FileContent(SHOPWALK_RESULTS_FIXTURES "/store-version1.db");
    ASSERT_TRUE(fixture.has_value());
    std::ofstream(path, std::ios::binary) << *fixture;
  }
  auto before = SqliteStore::OpenForReading(path);
  ASSERT_FALSE(before);
  EXPECT_NE(before.error().reason.find("opening it for walking upgrades it"), std::string::npos)
      << before.error().reason;

  for (int opening = 0; opening < 2; ++opening) {
    auto store = WalkingStore(path);
    ASSERT_TRUE(store);
    const std::vector<ShopRecord> rows = AllRows(*store);
    ASSERT_EQ(IdsOf(rows), (std::vector<std::int32_t>{101, 104, 201}));
    EXPECT_EQ(rows[0].name, "\xb5\xea\xc6\xcc one");
    EXPECT_EQ(rows[0].messenger, "m101");
    EXPECT_EQ(rows[0].openingDate, "2020-01-02");
    EXPECT_EQ(test::StoredRanges(path),
              (std::vector<test::StoredRange>{{102, 102, 1}, {103, 103, 2}}));
    const std::vector<FailedShop> failed = store->ReadFailedShops().value();
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].shopId, 105);
    EXPECT_EQ(failed[0].attempts, 3);
    EXPECT_EQ(failed[0].reason, "timed out");
    EXPECT_EQ(store->LastPlace(RunKind::CommandLine).value(), "106");
    const std::optional<InterruptedRun> window = store->Interrupted(RunKind::Window).value();
    ASSERT_TRUE(window.has_value());
    EXPECT_EQ(window->place, "201");
    EXPECT_EQ(IdsOf(window->rows), std::vector<std::int32_t>{201});
    EXPECT_FALSE(store->Interrupted(RunKind::CommandLine).value().has_value());
    EXPECT_EQ(store->ShopsToRevisit(), std::vector<std::int32_t>{106});
    // Pages are kept from the upgrade on.
    EXPECT_EQ(store->KeptPages().value().pages, opening == 0 ? 0u : 1u);
    EXPECT_EQ(store->NewDictionaryId().value(), 1u);
    if (opening == 0) store->KeepPage(PackedPage{104, PageKind::Home, 0, 3, "abc"});
    ASSERT_TRUE(store->Flush(Patience));
    EXPECT_EQ(store->KeptPages().value().pages, 1u);
  }
  sqlite::Connection connection;
  ASSERT_TRUE(connection.Open(path, sqlite::Connection::Access::ReadOnly));
  std::int64_t version = 0, marked = 0;
  ASSERT_TRUE(connection.QueryInt64("PRAGMA user_version", version));
  EXPECT_EQ(version, results::StoreSchemaVersion);
  ASSERT_TRUE(connection.QueryInt64("SELECT group_concat(shop_id) FROM revisits", marked));
  EXPECT_EQ(marked, 106);
  EXPECT_EQ(test::IntegrityCheck(path), "ok");
}

// A shop's times and history as the store file holds them.
struct ShopTimes {
  std::int64_t firstSeen = 0, checked = 0, changed = 0;
  bool closed = false;
};
struct StoredChange {
  std::int32_t shopId = 0;
  int field = 0;
  std::string oldValue, newValue;
  std::int64_t when = 0;
  ChangeSource source = ChangeSource::Walk;
  bool operator==(const StoredChange&) const = default;
};

ShopTimes TimesOf(const std::string& path, std::int32_t shopId) {
  sqlite::Connection connection;
  EXPECT_TRUE(connection.Open(path, sqlite::Connection::Access::ReadOnly));
  sqlite::Statement query;
  sqlite::Status status = connection.Prepare(
      "SELECT first_seen_ms, collected_ms, changed_ms, closed_ms IS NOT NULL FROM shops "
      "WHERE shop_id = ?1",
      query);
  if (status) status = query.BindInt64(1, shopId);
  ShopTimes times;
  if (status && query.NextRow(status)) {
    times = {query.ColumnInt64(0), query.ColumnInt64(1), query.ColumnInt64(2),
             query.ColumnInt64(3) != 0};
  }
  EXPECT_TRUE(status) << status.Message();
  return times;
}

std::vector<StoredChange> ChangesIn(const std::string& path) {
  sqlite::Connection connection;
  EXPECT_TRUE(connection.Open(path, sqlite::Connection::Access::ReadOnly));
  sqlite::Statement query;
  sqlite::Status status = connection.Prepare(
      "SELECT shop_id, field, old_value, new_value, changed_ms, source FROM shop_changes "
      "ORDER BY change_seq",
      query);
  std::vector<StoredChange> changes;
  while (status && query.NextRow(status)) {
    changes.push_back({static_cast<std::int32_t>(query.ColumnInt64(0)),
                       static_cast<int>(query.ColumnInt64(1)), query.ColumnBytes(2),
                       query.ColumnBytes(3), query.ColumnInt64(4),
                       static_cast<ChangeSource>(query.ColumnInt64(5))});
  }
  EXPECT_TRUE(status) << status.Message();
  return changes;
}

// A shop's history on the manual clock: first seen when its first row came, checked with every
// row, changed only when a field's bytes differ, each changed field recorded once with its old and
// new bytes (GBK and a NUL kept exactly), when and by what; a row collected outside a run and by
// the window's run counts the same.
TEST(StoreFilesTest, AShopKeepsWhenItWasSeenCheckedAndChangedAndEachChangedField) {
  ScratchDirectory dir;
  const std::string path = dir.File("results.db");
  test::ManualClock clock;
  auto opened = SqliteStore::OpenForWalking(path, clock);
  ASSERT_TRUE(opened);
  SqliteStore& store = **opened;
  const std::int64_t start = UnixMs(clock.CalendarNow());

  ShopRecord shop{7, "\xb5\xea one", "12", "m7", "2020-01-02", "addr7"};
  store.BeginRun(RunKind::CommandLine, "6");
  store.RowAppended(shop);
  store.RowAppended({8, "eight", "3", "m8", "", "addr8"});
  ASSERT_TRUE(store.Flush(Patience));

  clock.Advance(std::chrono::hours(1));
  store.RowAppended(shop);  // unchanged
  ASSERT_TRUE(store.Flush(Patience));
  EXPECT_EQ(TimesOf(path, 7).firstSeen, start);
  EXPECT_EQ(TimesOf(path, 7).checked, start + 3600000);
  EXPECT_EQ(TimesOf(path, 7).changed, start);
  EXPECT_TRUE(ChangesIn(path).empty());

  clock.Advance(std::chrono::hours(1));
  store.SetChangeSource(ChangeSource::Refresh);
  ShopRecord renamed = shop;
  renamed.name = std::string("\xb5\xea two\0x", 8);
  renamed.reputation = "13";
  store.RowAppended(renamed);
  store.EndRun(true);
  clock.Advance(std::chrono::hours(1));
  store.SetChangeSource(ChangeSource::Reparse);
  store.RowAppended({8, "eight", "3", "m8", "2021-05-06", "addr8"});  // outside a run
  clock.Advance(std::chrono::hours(1));
  store.SetChangeSource(ChangeSource::Walk);
  store.BeginRun(RunKind::Window, "8");
  store.RowAppended({8, "eight", "3", "m8", "2021-05-06", "addr8b"});
  ASSERT_TRUE(store.Flush(Patience));

  const std::int64_t hour = 3600000;
  EXPECT_EQ(
      ChangesIn(path),
      (std::vector<StoredChange>{
          {7, ShopNameColumn, shop.name, renamed.name, start + 2 * hour, ChangeSource::Refresh},
          {7, ReputationColumn, "12", "13", start + 2 * hour, ChangeSource::Refresh},
          {8, OpeningDateColumn, "", "2021-05-06", start + 3 * hour, ChangeSource::Reparse},
          {8, ShopAddressColumn, "addr8", "addr8b", start + 4 * hour, ChangeSource::Walk},
      }));
  const ShopTimes seven = TimesOf(path, 7);
  EXPECT_EQ(seven.firstSeen, start);
  EXPECT_EQ(seven.changed, start + 2 * hour);
  EXPECT_FALSE(seven.closed);
  const ShopTimes eight = TimesOf(path, 8);
  EXPECT_EQ(eight.firstSeen, start);
  EXPECT_EQ(eight.checked, start + 4 * hour);
  EXPECT_EQ(eight.changed, start + 4 * hour);
  EXPECT_EQ(AllRows(store)[0].name, renamed.name);
}

// A store of the layout before shops' history (tests/results/fixtures/store-version2.db, written
// by that version: a command-line run with rows, answers, a failed shop, a mark and a kept page;
// the window's run interrupted) opens for walking upgraded with everything it held; each shop
// counts as first seen and last changed when it was last collected, and a row collected again
// records its changes from then on.
TEST(StoreFilesTest, AStoreOfTheLayoutBeforeHistoryOpensUpgradedWithEverythingItHeld) {
  ScratchDirectory dir;
  const std::string path = dir.File("results.db");
  {
    const auto fixture = test::FileContent(SHOPWALK_RESULTS_FIXTURES "/store-version2.db");
    ASSERT_TRUE(fixture.has_value());
    std::ofstream(path, std::ios::binary) << *fixture;
  }
  std::int64_t collected = 0;
  {
    sqlite::Connection connection;
    ASSERT_TRUE(connection.Open(path, sqlite::Connection::Access::ReadOnly));
    ASSERT_TRUE(
        connection.QueryInt64("SELECT collected_ms FROM shops WHERE shop_id = 104", collected));
  }
  auto before = SqliteStore::OpenForReading(path);
  ASSERT_FALSE(before);
  EXPECT_NE(before.error().reason.find("opening it for walking upgrades it"), std::string::npos)
      << before.error().reason;

  test::ManualClock clock;
  for (int opening = 0; opening < 2; ++opening) {
    auto opened = SqliteStore::OpenForWalking(path, clock);
    ASSERT_TRUE(opened);
    SqliteStore& store = **opened;
    const std::vector<ShopRecord> rows = AllRows(store);
    ASSERT_EQ(IdsOf(rows), (std::vector<std::int32_t>{101, 104, 201}));
    EXPECT_EQ(rows[0].name, "\xb5\xea\xc6\xcc one");
    EXPECT_EQ(rows[1].reputation, opening == 0 ? "15" : "16");
    EXPECT_EQ(test::StoredRanges(path),
              (std::vector<test::StoredRange>{{102, 102, 1}, {103, 103, 2}}));
    const std::vector<FailedShop> failed = store.ReadFailedShops().value();
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].shopId, 105);
    EXPECT_EQ(failed[0].reason, "timed out");
    EXPECT_EQ(store.ShopsToRevisit(), std::vector<std::int32_t>{106});
    EXPECT_EQ(store.KeptPages().value().pages, 1u);
    EXPECT_EQ(store.LastPlace(RunKind::CommandLine).value(), "106");
    const std::optional<InterruptedRun> window = store.Interrupted(RunKind::Window).value();
    ASSERT_TRUE(window.has_value());
    EXPECT_EQ(IdsOf(window->rows), std::vector<std::int32_t>{201});
    if (opening == 0) {
      const ShopTimes times = TimesOf(path, 104);
      EXPECT_EQ(times.firstSeen, collected);
      EXPECT_EQ(times.checked, collected);
      EXPECT_EQ(times.changed, collected);
      store.SetChangeSource(ChangeSource::Refresh);
      store.RowAppended({104, "shop four", "16", "m104", "", "addr104"});
      ASSERT_TRUE(store.Flush(Patience));
    }
  }
  const std::int64_t now = UnixMs(clock.CalendarNow());
  EXPECT_EQ(
      ChangesIn(path),
      (std::vector<StoredChange>{{104, ReputationColumn, "15", "16", now, ChangeSource::Refresh}}));
  EXPECT_EQ(TimesOf(path, 104).firstSeen, collected);
  EXPECT_EQ(TimesOf(path, 104).changed, now);
  EXPECT_EQ(test::IntegrityCheck(path), "ok");
}

}  // namespace
}  // namespace shopwalk
