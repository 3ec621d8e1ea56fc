#include "results/sqlite/answer_ranges.h"

#include <utility>

namespace shopwalk::results {

sqlite::Status AnswerRanges::Prepare(sqlite::Connection& connection) {
  for (auto [statement, sql] : {
           std::pair{&atOrBelow_,
                     "SELECT first_id, last_id, outcome FROM answer_ranges WHERE first_id <= ?1 "
                     "ORDER BY first_id DESC LIMIT 1"},
           std::pair{&startingAt_,
                     "SELECT first_id, last_id, outcome FROM answer_ranges WHERE first_id = ?1"},
           std::pair{&insert_,
                     "INSERT INTO answer_ranges (first_id, last_id, outcome) VALUES (?1, ?2, ?3)"},
           std::pair{&remove_, "DELETE FROM answer_ranges WHERE first_id = ?1"},
           std::pair{&setLast_, "UPDATE answer_ranges SET last_id = ?2 WHERE first_id = ?1"},
       }) {
    if (auto status = connection.Prepare(sql, *statement); !status) return status;
  }
  return {};
}

sqlite::Status AnswerRanges::Holding(std::int64_t shopId, std::optional<Range>& range) {
  range.reset();
  atOrBelow_.Reset();
  if (auto status = atOrBelow_.BindInt64(1, shopId); !status) return status;
  sqlite::Status status;
  if (atOrBelow_.NextRow(status)) {
    Range found{atOrBelow_.ColumnInt64(0), atOrBelow_.ColumnInt64(1), atOrBelow_.ColumnInt64(2)};
    atOrBelow_.Reset();
    if (found.last >= shopId) range = found;
  }
  return status;
}

sqlite::Status AnswerRanges::StartingAt(std::int64_t shopId, std::optional<Range>& range) {
  range.reset();
  startingAt_.Reset();
  if (auto status = startingAt_.BindInt64(1, shopId); !status) return status;
  sqlite::Status status;
  if (startingAt_.NextRow(status)) {
    range =
        Range{startingAt_.ColumnInt64(0), startingAt_.ColumnInt64(1), startingAt_.ColumnInt64(2)};
    startingAt_.Reset();
  }
  return status;
}

sqlite::Status AnswerRanges::Insert(const Range& range) {
  insert_.Reset();
  if (auto status = insert_.BindInt64(1, range.first); !status) return status;
  if (auto status = insert_.BindInt64(2, range.last); !status) return status;
  if (auto status = insert_.BindInt64(3, range.outcome); !status) return status;
  return insert_.Run();
}

sqlite::Status AnswerRanges::Remove(std::int64_t first) {
  remove_.Reset();
  if (auto status = remove_.BindInt64(1, first); !status) return status;
  return remove_.Run();
}

sqlite::Status AnswerRanges::SetLast(std::int64_t first, std::int64_t last) {
  setLast_.Reset();
  if (auto status = setLast_.BindInt64(1, first); !status) return status;
  if (auto status = setLast_.BindInt64(2, last); !status) return status;
  return setLast_.Run();
}

sqlite::Status AnswerRanges::CutOut(const Range& range, std::int64_t shopId) {
  if (range.first < shopId) {
    // The part below keeps the range's first ID, so the row only gets shorter.
    if (auto status = SetLast(range.first, shopId - 1); !status) return status;
  } else if (auto status = Remove(range.first); !status) {
    return status;
  }
  if (shopId < range.last) return Insert({shopId + 1, range.last, range.outcome});
  return {};
}

sqlite::Status AnswerRanges::Set(std::int64_t shopId, std::int64_t outcome) {
  std::optional<Range> holding;
  if (auto status = Holding(shopId, holding); !status) return status;
  if (holding) {
    if (holding->outcome == outcome) return {};
    if (auto status = CutOut(*holding, shopId); !status) return status;
  }
  std::optional<Range> below, above;
  if (auto status = Holding(shopId - 1, below); !status) return status;
  if (auto status = StartingAt(shopId + 1, above); !status) return status;
  bool joinBelow = below && below->outcome == outcome;
  bool joinAbove = above && above->outcome == outcome;
  std::int64_t last = joinAbove ? above->last : shopId;
  if (joinAbove) {
    if (auto status = Remove(above->first); !status) return status;
  }
  if (joinBelow) return SetLast(below->first, last);
  return Insert({shopId, last, outcome});
}

sqlite::Status AnswerRanges::Clear(std::int64_t shopId) {
  std::optional<Range> holding;
  if (auto status = Holding(shopId, holding); !status) return status;
  if (!holding) return {};
  return CutOut(*holding, shopId);
}

}  // namespace shopwalk::results
