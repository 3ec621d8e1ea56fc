// What `shopwalk-cli refresh` hands the engine: the listed shops to visit again, as its work
// source, and the sink between the engine and the store that turns the answers into a shop
// list's news: a row for a listed shop is the shop checked again (changed, unchanged, or open
// again when it was closed), "no such shop" closes it. The store records the changes (with the
// change source Refresh) as it does for every row.
//
// The page-match guard may find only later that answers could not be trusted (a changed page
// layout, a verification page): everything the refresh found is held back until the guard has
// judged at least `holdAnswers` later answers (its window), or the refresh ends without the guard
// holding it; what the guard marks is never written, and when it holds the refresh nothing held
// back is written. A shop whose page gave no fields, or failed, keeps its row and its last check,
// so the next refresh asks it first.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "base/clock.h"
#include "cli/change_lines.h"
#include "collect/result_sink.h"
#include "collect/work_source.h"
#include "results/result_store.h"

namespace shopwalk {

// The shops of a refresh, handed out once each in the order given, then the end. Calls come from
// the dispatcher thread only.
class RefreshList : public WorkSource {
 public:
  explicit RefreshList(std::vector<std::int32_t> shopIds);
  Next NextShop() override;

 private:
  std::vector<std::int32_t> shopIds_;
  std::size_t next_ = 0;
};

// The listed shops as the store held them, to tell what a row collected again is: new, changed,
// open again, or nothing new (unchanged). Safe from any thread.
class KnownShops {
 public:
  explicit KnownShops(const std::vector<ShopToRefresh>& shops);
  // The row of `record` was collected: how the shop changed, nothing when it did not. From now on
  // it is known as this row, and open.
  std::optional<ShopChangeKind> Collected(const ShopRecord& record);
  // The shop said "no such shop": Closed when it was known and open (it is closed from now on),
  // nothing otherwise.
  std::optional<ShopChangeKind> Closed(std::int32_t shopId);
  bool Contains(std::int32_t shopId) const;

 private:
  struct Known {
    bool closed = false;
    std::uint64_t fieldsDigest = 0;
  };
  mutable std::mutex mutex_;
  std::unordered_map<std::int32_t, Known> known_;
};

// What a refresh found, counted as it is written.
struct RefreshFigures {
  std::uint64_t unchanged = 0;
  std::uint64_t changed = 0;
  std::uint64_t closed = 0;
  std::uint64_t reopened = 0;
  // Closed before and still closed.
  std::uint64_t stillClosed = 0;
  // Pages without fields, failures, answers the guard did not trust: not written.
  std::uint64_t noFields = 0;
  std::uint64_t failed = 0;
  std::uint64_t untrusted = 0;
};

// Safe from any thread.
class RefreshSink : public ResultSink {
 public:
  // A shop that changed, as written to the store: `record` for a row (nothing for a closing).
  using ChangeListener =
      std::function<void(ShopChangeKind kind, std::int32_t shopId, const ShopRecord* record)>;

  // `store` and `onChange` (called on the engine's threads, one call at a time) must outlive the
  // sink. `shops` are the shops the refresh visits.
  RefreshSink(StoreSink& store, const std::vector<ShopToRefresh>& shops, std::size_t holdAnswers,
              ChangeListener onChange);

  void RowAppended(const ShopRecord& record) override;
  void Answered(std::int32_t shopId, ShopOutcome outcome) override;
  void Failed(const FailedShop& shop) override;
  // The place of a refresh means nothing: not written.
  void PlaceMoved(const std::string& place) override;
  // None: a refresh visits only its list.
  std::vector<FailedShop> FailedShops() override;
  // The answer is dropped if it is still held back.
  void ToRevisit(std::int32_t shopId) override;
  PageMatchHistory PageHistory() override;
  bool Congested() const override;

  // The refresh ended: what is held back is written, unless `held` (the guard held the refresh),
  // then it is dropped.
  void Finish(bool held);
  RefreshFigures Figures() const;

 private:
  struct Waiting {
    std::uint64_t answer = 0;  // its number among the answers
    std::int32_t shopId = 0;
    std::optional<ShopRecord> record;  // nothing: "no such shop"
  };
  // Under mutex_: writes what waited long enough (everything with `all`).
  void Release(bool all);
  void Write(const Waiting& waiting);

  StoreSink& store_;
  const std::size_t holdAnswers_;
  ChangeListener onChange_;
  mutable std::mutex mutex_;
  KnownShops known_;
  std::deque<Waiting> waiting_;
  std::uint64_t answers_ = 0;
  RefreshFigures figures_;
};

}  // namespace shopwalk
