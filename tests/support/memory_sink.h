// A result sink in memory for tests: every report in the order it came, and failed shops on
// record that a test may set up. Safe from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "collect/result_sink.h"

namespace shopwalk::test {

class MemorySink : public ResultSink {
 public:
  struct Event {
    enum class Kind { Row, Answer, Failure, Place, Revisit };
    Kind kind;
    std::int32_t shopId = 0;           // Row, Answer, Failure, Revisit
    ShopOutcome outcome{};             // Answer
    std::optional<ShopRecord> record;  // Row
    FailedShop failure;                // Failure
    std::string place;                 // Place
  };

  void RowAppended(const ShopRecord& record) override;
  void Answered(std::int32_t shopId, ShopOutcome outcome) override;
  void Failed(const FailedShop& shop) override;
  void PlaceMoved(const std::string& place) override;
  std::vector<FailedShop> FailedShops() override;
  bool Congested() const override;
  // Marks are kept as a store keeps them: a later row, answer or failure takes the shop off.
  void ToRevisit(std::int32_t shopId) override;
  std::vector<std::int32_t> ShopsToRevisit() override;
  PageMatchHistory PageHistory() override;

  // What PageHistory gives (nothing at first).
  void SetPageHistory(const PageMatchHistory& history);

  // Whether the sink says it cannot keep up.
  void SetCongested(bool congested) { congested_ = congested; }
  // The sink says it cannot keep up whenever `congested` says so, asked on every call (from the
  // engine's threads); set before the sink is used.
  void SetCongestedWhen(std::function<bool()> congested) { congestedWhen_ = std::move(congested); }
  // How often the engine has asked whether the sink cannot keep up (about once per dispatcher
  // pass, so a test can wait for the walk's next passes).
  std::size_t CongestedAsked() const { return congestedAsked_.load(); }
  // Failed shops on record, oldest first; answers and rows take shops off it, as a store does.
  void SetFailedShops(std::vector<FailedShop> shops);
  std::vector<Event> Events();
  std::string LastPlace();

 private:
  std::mutex mutex_;
  std::vector<Event> events_;
  std::vector<FailedShop> failed_;
  std::vector<std::int32_t> revisit_;
  PageMatchHistory history_;
  std::atomic<bool> congested_{false};
  std::function<bool()> congestedWhen_;
  mutable std::atomic<std::size_t> congestedAsked_{0};
};

}  // namespace shopwalk::test
