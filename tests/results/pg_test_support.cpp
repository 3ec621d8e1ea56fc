#include "tests/results/pg_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace shopwalk::test {

PostgresServer& SharedPostgres() {
  static PostgresServer server;
  static const std::string started = server.Start();
  EXPECT_EQ(started, "") << "the suite's PostgreSQL server did not start";
  return server;
}

std::string FreshDatabase(PostgresServer& server) {
  static std::atomic<int> databases{0};
  const std::string name = "walk_" + std::to_string(++databases);
  const std::string problem = server.CreateDatabase(name);
  EXPECT_EQ(problem, "") << "creating database " << name;
  return server.Uri(name);
}

PgStoreSettings QuickSettings() {
  PgStoreSettings settings;
  settings.blockSize = 10;
  settings.lease = std::chrono::milliseconds(2000);
  settings.renewEvery = std::chrono::milliseconds(300);
  settings.idleClaimEvery = std::chrono::milliseconds(50);
  settings.failedRetryDelay = std::chrono::milliseconds(0);
  settings.commitDelay = std::chrono::milliseconds(5);
  settings.reconnectFirst = std::chrono::milliseconds(50);
  settings.reconnectLongest = std::chrono::milliseconds(400);
  settings.connectTimeout = std::chrono::milliseconds(2000);
  settings.closeTimeout = std::chrono::milliseconds(3000);
  return settings;
}

std::unique_ptr<PgStore> WalkingPgStore(const std::string& uri, const results::WalkRequest& request,
                                        const PgStoreSettings& settings, Clock& clock) {
  auto opening = PgStore::OpenForWalking(uri, request, settings, clock);
  EXPECT_TRUE(opening) << opening.error().path << ": " << opening.error().reason;
  return std::move(*opening);
}

std::vector<std::int32_t> WalkStore(PgStore& store, const Answer& answer, std::size_t limit,
                                    std::chrono::milliseconds patience) {
  std::vector<std::int32_t> handedOut;
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (handedOut.size() < limit) {
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "the walk did not end in time; " << handedOut.size() << " IDs handed out";
      break;
    }
    const WorkSource::Next next = store.NextShop();
    if (next.kind == WorkSource::Next::Kind::End) break;
    if (next.kind == WorkSource::Next::Kind::Wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      continue;
    }
    handedOut.push_back(next.shopId);
    if (answer) {
      answer(store, next);
    } else {
      store.Answered(next.shopId, ShopOutcome::NoShop);
    }
  }
  return handedOut;
}

pg::Connection Connect(const std::string& uri) {
  pg::Connection connection;
  const pg::Status status = connection.Open(uri);
  EXPECT_TRUE(status) << status.Describe();
  return connection;
}

std::int64_t QueryInt(pg::Connection& connection, const std::string& sql,
                      const pg::Params& params) {
  pg::Result result;
  const pg::Status status = connection.Run(sql, params, result);
  EXPECT_TRUE(status) << sql << ": " << status.Describe();
  return result.Int64(0, 0);
}

std::vector<std::int64_t> QueryInts(pg::Connection& connection, const std::string& sql,
                                    const pg::Params& params) {
  pg::Result result;
  const pg::Status status = connection.Run(sql, params, result);
  EXPECT_TRUE(status) << sql << ": " << status.Describe();
  std::vector<std::int64_t> values;
  for (int row = 0; row < result.Rows(); ++row) values.push_back(result.Int64(row, 0));
  return values;
}

}  // namespace shopwalk::test
