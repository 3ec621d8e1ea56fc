// The JSON Lines the command line writes of a shop list's changes: one line per shop that is new,
// changed, closed or open again (`walk --out -`, `refresh --out`, `export --new-since` and the
// like), and one line per change of the history (`export --history`).
//
// Texts come from shop owners' pages: GBK bytes are converted to UTF-8 (a byte sequence that is
// not GBK becomes U+FFFD), and every character a terminal or a script could take for something
// else is written as a \uXXXX escape: control characters (C0, DEL, C1), the line and paragraph
// separators, and the marks that reorder text on screen (bidirectional overrides and isolates).
// Every line is valid JSON whatever the bytes; lines end in a single LF.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "collect/shop_record.h"
#include "results/result_store.h"

namespace shopwalk {

// How a shop changed, as a line's "change" member says it.
enum class ShopChangeKind { New, Changed, Closed, Reopened };
std::string_view ShopChangeKindName(ShopChangeKind kind);

// Appends `gbk` converted to UTF-8 as a JSON string (quotes included), neutralised as above.
void AppendSafeJsonText(std::string& out, std::string_view gbk);

// "2026-12-08T18:00:00.000Z": `unixMs` in UTC (clamped to years 0 to 9999).
std::string IsoUtcTime(std::int64_t unixMs);

// {"change":..,"shop_id":..,"at":..,"name":..,"reputation":..,"messenger":..,
//  "opening_date":..,"address":..,"first_seen":..,"checked":..,"changed":..,"closed":..}
// The fields only when `record` is given (a closing knows only the shop); the times only when
// `times` is given ("closed" null while open). `atMs`: when the change was seen.
std::string ShopChangeLine(ShopChangeKind kind, std::int32_t shopId, std::int64_t atMs,
                           const ShopRecord* record, const ShopTimes* times);

// {"shop_id":..,"field":..,"old":..,"new":..,"at":..,"at_ms":..,"source":..}: "field" is "name",
// "reputation", "messenger", "opening_date", "address", or "state" (old and new "open" or
// "closed"); "source" is "walk", "refresh" or "reparse".
std::string HistoryLine(const ShopChange& change);

// Where the lines go: standard output ("-") or a file, one line written whole at a time and
// flushed, so a reader of a pipe sees each change as it comes. Safe from any thread.
class ChangeStream {
 public:
  ChangeStream() = default;
  ~ChangeStream();
  ChangeStream(const ChangeStream&) = delete;
  ChangeStream& operator=(const ChangeStream&) = delete;

  // Nothing to write to for an empty `path`; false (with `reason`) when the file cannot be opened
  // (as OpenForWriting opens it).
  bool Open(const std::string& path, std::string& reason);
  void Write(const std::string& line);
  // Why writing failed (empty: it did not).
  std::string Close();

 private:
  std::mutex mutex_;
  std::FILE* file_ = nullptr;
  bool owned_ = false;
  std::string failure_;
};

}  // namespace shopwalk
