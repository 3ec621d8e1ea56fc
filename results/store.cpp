#include "results/store.h"

#include <utility>

#include "results/pg/pg.h"
#include "results/pg/pg_store.h"
#include "results/sqlite/sqlite_store.h"

namespace shopwalk {
namespace {

Expected<StoreHandle, StoreProblem> OpenDatabase(const std::string& uri, StoreMode mode,
                                                 const StoreOptions& options, Clock& clock) {
  PgStoreSettings settings;
  settings.maxWaitingReports = options.maxWaitingReports;
  if (options.blockSize) settings.blockSize = *options.blockSize;
  if (options.lease) settings.lease = *options.lease;
  if (options.renewEvery) settings.renewEvery = *options.renewEvery;
  settings.pacedRate = options.pacedRate;
  PgStore::Opened opened = [&] {
    if (mode == StoreMode::Reading) return PgStore::OpenForReading(uri, settings, clock);
    if (mode == StoreMode::Rewriting) return PgStore::OpenForRewriting(uri, settings, clock);
    results::WalkRequest request;
    request.from = options.from;
    request.to = options.to;
    request.count = options.count;
    request.defaultFirst = options.defaultFirst;
    request.blockSize = settings.blockSize;
    return PgStore::OpenForWalking(uri, request, settings, clock);
  }();
  if (!opened) return MakeUnexpected(std::move(opened).error());
  std::shared_ptr<PgStore> store = std::move(*opened);
  PgStore* walk = store.get();
  std::string location = store->Location();
  return StoreHandle(std::move(store), walk, std::move(location));
}

Expected<StoreHandle, StoreProblem> OpenFile(const std::string& path, StoreMode mode,
                                             const StoreOptions& options, Clock& clock) {
  SqliteStore::Opened opened =
      mode != StoreMode::Reading
          ? SqliteStore::OpenForWalking(path, clock, options.maxWaitingReports)
          : SqliteStore::OpenForReading(path, clock);
  if (!opened) return MakeUnexpected(std::move(opened).error());
  return StoreHandle(std::shared_ptr<SqliteStore>(std::move(*opened)), nullptr, path);
}

}  // namespace

bool IsDatabaseUri(const std::string& location) {
  return location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0;
}

bool LocationHoldsPassword(const std::string& location) {
  return IsDatabaseUri(location) && pg::HoldsPassword(location);
}

Expected<StoreHandle, StoreProblem> OpenStore(const std::string& location, StoreMode mode,
                                              const StoreOptions& options, Clock& clock) {
  return IsDatabaseUri(location) ? OpenDatabase(location, mode, options, clock)
                                 : OpenFile(location, mode, options, clock);
}

}  // namespace shopwalk
