// What a results store holds durably, read directly from its tables by the simulator between the
// walker's lives (the walker has ended: nothing is written meanwhile): rows, answers without a
// row, failed shops, runs with their places and lists. For a walk shared through PostgreSQL, the
// shared tables and the walk's place. Of a store of one node, also the history of changes.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "collect/shop_record.h"

namespace shopwalk::sim {

struct StoreSnapshot {
  struct Failure {
    int attempts = 0;
    std::string reason;
    // When it was recorded: Unix time in milliseconds (the walker's calendar).
    std::int64_t unixMs = 0;
  };
  struct Run {
    std::int64_t id = 0;
    int kind = 0;
    bool cleanEnd = false;
    std::string place;
    std::int64_t openedSeq = 0;
    // The run's list: shop IDs in the order their rows were appended.
    std::vector<std::int32_t> rows;
  };

  // A field of a listed shop collected again with other bytes (the store's history).
  struct Change {
    std::int32_t shopId = 0;
    // 1 name, 2 reputation, 3 messenger, 4 opening date, 5 address.
    int field = 0;
    std::string oldValue;
    std::string newValue;
    int source = 0;
  };

  std::map<std::int32_t, ShopRecord> rows;
  // The history of changes, oldest first (a store of one node).
  std::vector<Change> changes;
  // 1 no shop, 2 no fields.
  std::map<std::int32_t, int> answers;
  std::map<std::int32_t, Failure> failed;
  std::vector<Run> runs;
  // A shared walk: every ID of it up to here has an outcome.
  std::optional<std::int64_t> sharedPlace;
  // The place saved in config.ini (as the window saves it), if any.
  std::optional<std::string> savedPlace;
  // Why the store could not be read (empty: it was).
  std::string problem;

  // The place of the command line's last run (begun or continued last), if any.
  std::optional<std::string> CommandLinePlace() const;
  // How many durable outcomes `id` has: a row, an answer, a failure (one at most is sound).
  int OutcomeCount(std::int32_t id) const;
  // Whether `id` was answered (a row, no shop or no fields), as opposed to failed or unknown.
  bool Answered(std::int32_t id) const;
};

// Reads the SQLite store at `path` (read-only).
StoreSnapshot ReadSqliteStore(const std::string& path);
// Reads the shared walk in the PostgreSQL database at `uri`.
StoreSnapshot ReadPgStore(const std::string& uri);

}  // namespace shopwalk::sim
