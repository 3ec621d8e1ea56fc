// Helpers for the PostgreSQL store's tests: the suite's own server and a fresh database per case,
// quick settings, a dispatcher stand-in that walks a store, and looking into the database.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <source_location>
#include <string>
#include <vector>

#include "base/expected.h"
#include "results/pg/pg.h"
#include "results/pg/pg_store.h"
#include "tests/support/postgres_server.h"

namespace shopwalk::test {

// The server the suite's cases share, started on first use and stopped when the program ends.
// Cases that stop or restart a server start one of their own instead.
PostgresServer& SharedPostgres();
// A URI of a new, empty database on `server` (the test fails when it cannot be made).
std::string FreshDatabase(PostgresServer& server = SharedPostgres());

// Settings for tests: blocks of 10 IDs, leases of about 2 s renewed often, quick retries.
PgStoreSettings QuickSettings();

std::unique_ptr<PgStore> WalkingPgStore(const std::string& uri, const results::WalkRequest& request,
                                        const PgStoreSettings& settings = QuickSettings(),
                                        Clock& clock = RealClock());

// Walks `store` as the dispatcher would, answering every ID it hands out with `answer` (by
// default: no shop), until it says End, `limit` IDs were handed out, or `patience` passed (then
// the test fails). The IDs handed out, in order.
using Answer = std::function<void(PgStore& store, const WorkSource::Next& next)>;
std::vector<std::int32_t> WalkStore(PgStore& store, const Answer& answer = {},
                                    std::size_t limit = SIZE_MAX,
                                    std::chrono::milliseconds patience = std::chrono::seconds(90));

// A connection of the test's own (the test fails when it cannot be opened).
pg::Connection Connect(const std::string& uri);
// The first column of the first row of `sql` as an integer (the test fails on an error).
std::int64_t QueryInt(pg::Connection& connection, const std::string& sql,
                      const pg::Params& params = pg::Params());
std::vector<std::int64_t> QueryInts(pg::Connection& connection, const std::string& sql,
                                    const pg::Params& params = pg::Params());

// The value of `result` (a statement of the shared walk); when it failed, the test fails at the
// caller's line with the database's words, and gets a default-made value.
template <typename T>
T ValueOf(Expected<T, pg::Status> result,
          std::source_location where = std::source_location::current()) {
  if (!result) {
    ADD_FAILURE_AT(where.file_name(), static_cast<int>(where.line())) << result.error().Describe();
    return T();
  }
  return std::move(*result);
}

}  // namespace shopwalk::test
