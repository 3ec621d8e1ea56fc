#include "tests/results/limited_space_vfs.h"

#include <sqlite3.h>

#include <atomic>
#include <functional>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <utility>

namespace shopwalk::test {
namespace {

constexpr std::int64_t NoLimit = std::numeric_limits<std::int64_t>::max();

std::atomic<std::int64_t> g_remainingBytes{NoLimit};
std::atomic<std::int64_t> g_refusedWrites{0};
// The wrapped VFS stays known after the object goes, for connections still open through ours.
sqlite3_vfs* g_underlying = nullptr;
sqlite3_vfs g_limited{};
bool g_active = false;
std::mutex g_failingMutex;
std::function<bool()> g_failing;

bool FailingNow() {
  std::lock_guard lock(g_failingMutex);
  return g_failing && g_failing();
}

// Our file: the underlying VFS's file lives right after it.
struct LimitedFile {
  sqlite3_file base;
  sqlite3_file* real;
};

sqlite3_file* Real(sqlite3_file* file) {
  return reinterpret_cast<LimitedFile*>(file)->real;
}

bool TakeBudget(std::int64_t bytes) {
  std::int64_t remaining = g_remainingBytes.load();
  do {
    if (remaining == NoLimit) return true;
    if (remaining < bytes) return false;
  } while (!g_remainingBytes.compare_exchange_weak(remaining, remaining - bytes));
  return true;
}

int Close(sqlite3_file* file) {
  return Real(file)->pMethods->xClose(Real(file));
}
int Read(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
  return Real(file)->pMethods->xRead(Real(file), buffer, amount, offset);
}
int Write(sqlite3_file* file, const void* buffer, int amount, sqlite3_int64 offset) {
  if (FailingNow() || !TakeBudget(amount)) {
    ++g_refusedWrites;
    return SQLITE_FULL;
  }
  return Real(file)->pMethods->xWrite(Real(file), buffer, amount, offset);
}
int Truncate(sqlite3_file* file, sqlite3_int64 size) {
  return Real(file)->pMethods->xTruncate(Real(file), size);
}
int Sync(sqlite3_file* file, int flags) {
  return Real(file)->pMethods->xSync(Real(file), flags);
}
int FileSize(sqlite3_file* file, sqlite3_int64* size) {
  return Real(file)->pMethods->xFileSize(Real(file), size);
}
int Lock(sqlite3_file* file, int level) {
  return Real(file)->pMethods->xLock(Real(file), level);
}
int Unlock(sqlite3_file* file, int level) {
  return Real(file)->pMethods->xUnlock(Real(file), level);
}
int CheckReservedLock(sqlite3_file* file, int* result) {
  return Real(file)->pMethods->xCheckReservedLock(Real(file), result);
}
int FileControl(sqlite3_file* file, int operation, void* argument) {
  return Real(file)->pMethods->xFileControl(Real(file), operation, argument);
}
int SectorSize(sqlite3_file* file) {
  return Real(file)->pMethods->xSectorSize(Real(file));
}
int DeviceCharacteristics(sqlite3_file* file) {
  return Real(file)->pMethods->xDeviceCharacteristics(Real(file));
}
int ShmMap(sqlite3_file* file, int page, int pageSize, int extend, void volatile** mapped) {
  return Real(file)->pMethods->xShmMap(Real(file), page, pageSize, extend, mapped);
}
int ShmLock(sqlite3_file* file, int offset, int count, int flags) {
  return Real(file)->pMethods->xShmLock(Real(file), offset, count, flags);
}
void ShmBarrier(sqlite3_file* file) {
  Real(file)->pMethods->xShmBarrier(Real(file));
}
int ShmUnmap(sqlite3_file* file, int deleteFlag) {
  return Real(file)->pMethods->xShmUnmap(Real(file), deleteFlag);
}
int Fetch(sqlite3_file* file, sqlite3_int64 offset, int amount, void** page) {
  return Real(file)->pMethods->xFetch(Real(file), offset, amount, page);
}
int Unfetch(sqlite3_file* file, sqlite3_int64 offset, void* page) {
  return Real(file)->pMethods->xUnfetch(Real(file), offset, page);
}

const sqlite3_io_methods LimitedMethods = {
    .iVersion = 3,
    .xClose = Close,
    .xRead = Read,
    .xWrite = Write,
    .xTruncate = Truncate,
    .xSync = Sync,
    .xFileSize = FileSize,
    .xLock = Lock,
    .xUnlock = Unlock,
    .xCheckReservedLock = CheckReservedLock,
    .xFileControl = FileControl,
    .xSectorSize = SectorSize,
    .xDeviceCharacteristics = DeviceCharacteristics,
    .xShmMap = ShmMap,
    .xShmLock = ShmLock,
    .xShmBarrier = ShmBarrier,
    .xShmUnmap = ShmUnmap,
    .xFetch = Fetch,
    .xUnfetch = Unfetch,
};

int Open(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* outFlags) {
  auto* limited = reinterpret_cast<LimitedFile*>(file);
  limited->real = reinterpret_cast<sqlite3_file*>(limited + 1);
  int code = g_underlying->xOpen(g_underlying, name, limited->real, flags, outFlags);
  // SQLite closes a file only when its methods are set.
  limited->base.pMethods = code == SQLITE_OK ? &LimitedMethods : nullptr;
  return code;
}

int Delete(sqlite3_vfs*, const char* name, int syncDirectory) {
  return g_underlying->xDelete(g_underlying, name, syncDirectory);
}
int Access(sqlite3_vfs*, const char* name, int flags, int* result) {
  return g_underlying->xAccess(g_underlying, name, flags, result);
}
int FullPathname(sqlite3_vfs*, const char* name, int size, char* out) {
  return g_underlying->xFullPathname(g_underlying, name, size, out);
}
void* DlOpen(sqlite3_vfs*, const char* name) {
  return g_underlying->xDlOpen(g_underlying, name);
}
void DlError(sqlite3_vfs*, int size, char* message) {
  g_underlying->xDlError(g_underlying, size, message);
}
void (*DlSym(sqlite3_vfs*, void* library, const char* symbol))(void) {
  return g_underlying->xDlSym(g_underlying, library, symbol);
}
void DlClose(sqlite3_vfs*, void* library) {
  g_underlying->xDlClose(g_underlying, library);
}
int Randomness(sqlite3_vfs*, int size, char* out) {
  return g_underlying->xRandomness(g_underlying, size, out);
}
int Sleep(sqlite3_vfs*, int microseconds) {
  return g_underlying->xSleep(g_underlying, microseconds);
}
int CurrentTime(sqlite3_vfs*, double* now) {
  return g_underlying->xCurrentTime(g_underlying, now);
}
int GetLastError(sqlite3_vfs*, int size, char* message) {
  return g_underlying->xGetLastError(g_underlying, size, message);
}
int CurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* now) {
  return g_underlying->xCurrentTimeInt64(g_underlying, now);
}

}  // namespace

LimitedSpaceVfs::LimitedSpaceVfs() {
  if (g_active) throw std::logic_error("one LimitedSpaceVfs at a time");
  sqlite3_initialize();
  if (g_underlying == nullptr) g_underlying = sqlite3_vfs_find(nullptr);
  if (g_underlying == nullptr || g_underlying->iVersion < 2) {
    throw std::runtime_error("no default SQLite VFS to wrap");
  }
  g_remainingBytes = NoLimit;
  g_refusedWrites = 0;
  g_limited = sqlite3_vfs{};
  g_limited.iVersion = 2;
  g_limited.szOsFile = static_cast<int>(sizeof(LimitedFile)) + g_underlying->szOsFile;
  g_limited.mxPathname = g_underlying->mxPathname;
  g_limited.zName = "limited_space";
  g_limited.xOpen = Open;
  g_limited.xDelete = Delete;
  g_limited.xAccess = Access;
  g_limited.xFullPathname = FullPathname;
  g_limited.xDlOpen = DlOpen;
  g_limited.xDlError = DlError;
  g_limited.xDlSym = DlSym;
  g_limited.xDlClose = DlClose;
  g_limited.xRandomness = Randomness;
  g_limited.xSleep = Sleep;
  g_limited.xCurrentTime = CurrentTime;
  g_limited.xGetLastError = GetLastError;
  g_limited.xCurrentTimeInt64 = CurrentTimeInt64;
  if (sqlite3_vfs_register(&g_limited, 1) != SQLITE_OK) {
    throw std::runtime_error("cannot register the limited-space VFS");
  }
  g_active = true;
}

LimitedSpaceVfs::~LimitedSpaceVfs() {
  sqlite3_vfs_register(g_underlying, 1);
  sqlite3_vfs_unregister(&g_limited);
  g_remainingBytes = NoLimit;
  FailWhile(nullptr);
  g_active = false;
}

void LimitedSpaceVfs::AllowBytes(std::int64_t bytes) {
  g_remainingBytes = bytes < 0 ? 0 : bytes;
}

void LimitedSpaceVfs::Unlimited() {
  g_remainingBytes = NoLimit;
}

void LimitedSpaceVfs::FailWhile(std::function<bool()> failing) {
  std::lock_guard lock(g_failingMutex);
  g_failing = std::move(failing);
}

std::int64_t LimitedSpaceVfs::RefusedWrites() const {
  return g_refusedWrites.load();
}

}  // namespace shopwalk::test
