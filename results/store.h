// Opening a results store by its location, whatever keeps it: a postgresql:// (or postgres://)
// URI is a walk shared through a PostgreSQL database (results/pg/pg_store.h), anything else is an
// SQLite file (results/sqlite/sqlite_store.h). The program asks for what it needs from the handle
// and never names a backend.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/clock.h"
#include "base/expected.h"
#include "results/result_store.h"
#include "results/store_problem.h"

namespace shopwalk {

// Whether the location names a database (postgresql:// or postgres://) rather than a file.
bool IsDatabaseUri(const std::string& location);
// Whether a database location carries its password in the clear (other users of the machine can
// read a command line); false for a file.
bool LocationHoldsPassword(const std::string& location);

enum class StoreMode {
  // One walking copy at a time (a second is refused with InUse); a database store joins or begins
  // the shared walk and registers the node.
  Walking,
  // Any number, also while a walk writes; no changes to the store, reports are refused.
  Reading,
  // Writing again what a walk found (reparse): a file as for Walking; a database store registers
  // a node of the current walk that claims no work by itself: it writes the IDs it claims with
  // SharedWalk::ClaimToRewrite, beside the walking nodes.
  Rewriting,
};

// How a store is opened. Values a backend has no use for are ignored.
struct StoreOptions {
  // The most reports held unwritten before the store holds the walk (Congested()).
  std::size_t maxWaitingReports = MaxWaitingReports;

  // A shared walk opened for walking: the IDs this node asks for. A walk that exists already
  // keeps its own first ID (JoinedSharedWalk::fromIgnored says so) and block size.
  std::optional<std::int64_t> from;
  std::optional<std::int64_t> to;
  std::optional<std::int64_t> count;
  // The first ID of a new walk begun without `from`.
  std::int64_t defaultFirst = 1;
  // IDs in a block of a new walk; the lease of a claim and how often it is renewed (nothing: the
  // store's defaults).
  std::optional<int> blockSize;
  std::optional<std::chrono::milliseconds> lease;
  std::optional<std::chrono::milliseconds> renewEvery;
  // The rate the node was asked to walk at (IDs a second), for status displays; 0: none given.
  double pacedRate = 0;
};

// An opened store: what its location offers. Moving it keeps the store; the store closes (writing
// what waits, see each backend) when the last handle or shared pointer to it goes.
class StoreHandle {
 public:
  StoreHandle(std::shared_ptr<ResultStore> store, SharedWalk* shared, std::string location)
      : store_(std::move(store)), shared_(shared), location_(std::move(location)) {}

  StoreSink& Sink() const { return *store_; }
  RunJournal& Journal() const { return *store_; }
  StoreReader& Reader() const { return *store_; }
  // The whole store, for those that keep it beyond the handle (the engine, the window).
  const std::shared_ptr<ResultStore>& Store() const { return store_; }
  // The shared walk, when the store is a database (nothing for a file). Opened for reading, it
  // tells how the walk stands but joined none: it hands out nothing and its Joined() is empty.
  SharedWalk* Walk() const { return shared_; }
  // Where the store is, fit to show (a database's URI without its password).
  const std::string& Location() const { return location_; }

 private:
  std::shared_ptr<ResultStore> store_;
  SharedWalk* shared_ = nullptr;
  std::string location_;
};

// Opens the store at `location` (see above). A file store opened for walking is created when
// missing; a database's layout is created or upgraded. Fails with the store's problem: InUse while
// another walking copy holds a file, NotWritable, Full, Corrupt, or Other (a server out of reach,
// a walk request that cannot be met, a store of a newer version, no location given). The store's
// waits follow `clock`, which must outlive it.
Expected<StoreHandle, StoreProblem> OpenStore(const std::string& location, StoreMode mode,
                                              const StoreOptions& options = {},
                                              Clock& clock = RealClock());

}  // namespace shopwalk
