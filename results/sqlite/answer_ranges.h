// The shop IDs answered without a row, kept as ranges of consecutive IDs with the same outcome in
// the table answer_ranges: recording an ID merges it with its neighbours of the same outcome, and
// takes it out of a range of another outcome (splitting that range), whatever order the answers
// come in. Every ID is in at most one range.
#pragma once

#include <cstdint>
#include <optional>

#include "results/sqlite/sqlite.h"

namespace shopwalk::results {

class AnswerRanges {
 public:
  // Prepares the statements on `connection`, which must outlive this object.
  sqlite::Status Prepare(sqlite::Connection& connection);

  // Records `outcome` (a positive number) as the answer for `shopId`.
  sqlite::Status Set(std::int64_t shopId, std::int64_t outcome);
  // Takes `shopId` out of the range that holds it, if any.
  sqlite::Status Clear(std::int64_t shopId);

 private:
  struct Range {
    std::int64_t first = 0;
    std::int64_t last = 0;
    std::int64_t outcome = 0;
  };
  // The range holding `shopId`, if any.
  sqlite::Status Holding(std::int64_t shopId, std::optional<Range>& range);
  sqlite::Status StartingAt(std::int64_t shopId, std::optional<Range>& range);
  sqlite::Status Insert(const Range& range);
  sqlite::Status Remove(std::int64_t first);
  sqlite::Status SetLast(std::int64_t first, std::int64_t last);
  // Removes `range` and puts back its parts on either side of `shopId`.
  sqlite::Status CutOut(const Range& range, std::int64_t shopId);

  sqlite::Statement atOrBelow_, startingAt_, insert_, remove_, setLast_;
};

}  // namespace shopwalk::results
