// What the engine and the program report to a results store, one struct per kind, queued in the
// order they came and written in that order (results/report_queue.h). A store's writer applies
// each with std::visit, so a kind it does not handle fails to compile instead of being dropped.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "collect/result_sink.h"
#include "collect/shop_record.h"
#include "results/page_packer.h"

namespace shopwalk {

// Who walks: the window keeps its place in config.ini, the command line in the store; each
// continues from its own runs.
enum class RunKind : int { Window = 1, CommandLine = 2 };

// What collected a shop's row, as a shop's history records it with each change of a field: a
// walk (the window's or the command line's), a refresh of known shops, or a reparse of kept pages.
// The numbers are stored.
enum class ChangeSource : int { Walk = 1, Refresh = 2, Reparse = 3 };

// The source stored as `value`; nothing for a number no source has.
inline std::optional<ChangeSource> ChangeSourceOf(std::int64_t value) {
  if (value < static_cast<int>(ChangeSource::Walk) ||
      value > static_cast<int>(ChangeSource::Reparse)) {
    return std::nullopt;
  }
  return static_cast<ChangeSource>(value);
}

namespace reports {

// A row was collected (ResultSink::RowAppended), by `source`: the store keeps when the shop was
// first seen and last checked, and records each field whose value changed.
struct Row {
  ShopRecord record;
  ChangeSource source = ChangeSource::Walk;
};
// A listed shop answered "no such shop" (StoreSink::ShopClosed), found by `source`.
struct Closed {
  std::int32_t shopId = 0;
  ChangeSource source = ChangeSource::Walk;
};
// A shop ID was answered without a row: NoShop or NoFields only (see ReportOfAnswer).
struct Answer {
  std::int32_t shopId = 0;
  ShopOutcome outcome = ShopOutcome::NoShop;
};
// A shop failed for good, with its tries and reason (bytes as given).
struct Failure {
  FailedShop shop;
};
// The walk's place moved (bytes as given).
struct Place {
  std::string place;
};
// A run of `kind` begins at `place`.
struct BeginRun {
  RunKind kind = RunKind::Window;
  std::string place;
};
// An interrupted run goes on.
struct ContinueRun {
  std::int64_t runId = 0;
};
// The current run ended cleanly; `placeSaved`: its place went to config.ini.
struct EndRun {
  bool placeSaved = false;
};
// A dictionary kept pages are packed with (KeptPageStore::KeepDictionary); reported before them.
struct KeptDictionary {
  PageDictionary dictionary;
};
// A packed page kept (KeptPageStore::KeepPage): it replaces the shop's kept page of its kind.
struct KeptPage {
  PackedPage page;
};
// The shop's answer is not to be trusted (ResultSink::ToRevisit): marked to be asked again, until
// a row, an answer or a failure for it comes.
struct Revisit {
  std::int32_t shopId = 0;
};

}  // namespace reports

using Report =
    std::variant<reports::Row, reports::Answer, reports::Failure, reports::Place, reports::BeginRun,
                 reports::ContinueRun, reports::EndRun, reports::KeptDictionary, reports::KeptPage,
                 reports::Revisit, reports::Closed>;

// What ResultSink::Answered(shopId, outcome) reports: an Answer for NoShop and NoFields, and for
// Failed or any other value a Failure with no tries and no reason. The one place that rule lives.
inline Report ReportOfAnswer(std::int32_t shopId, ShopOutcome outcome) {
  if (outcome == ShopOutcome::NoShop || outcome == ShopOutcome::NoFields) {
    return reports::Answer{shopId, outcome};
  }
  return reports::Failure{FailedShop{shopId, 0, ""}};
}

// Builds a visitor from lambdas, one per kind: std::visit(Overloaded{[](const reports::Row&)
// {...}, ...}, report).
template <typename... Handlers>
struct Overloaded : Handlers... {
  using Handlers::operator()...;
};
template <typename... Handlers>
Overloaded(Handlers...) -> Overloaded<Handlers...>;

}  // namespace shopwalk
