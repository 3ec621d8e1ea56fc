#include "cli/change_lines.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "store/export_cells.h"
#include "store/export_layout.h"
#include "store/file_bytes.h"

namespace shopwalk {
namespace {

constexpr char HexDigits[] = "0123456789abcdef";

// Whether the code point is written as an escape: C0 and C1 controls, DEL, the line and paragraph
// separators, and the bidirectional marks, embeddings, overrides and isolates.
bool Escaped(char32_t point) {
  return point < 0x20 || point == '"' || point == '\\' || (point >= 0x7F && point <= 0x9F) ||
         point == 0x061C || point == 0x200E || point == 0x200F ||
         (point >= 0x2028 && point <= 0x202E) || (point >= 0x2066 && point <= 0x2069);
}

void AppendEscape(std::string& out, char32_t point) {
  switch (point) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
    default:
      break;
  }
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += HexDigits[(point >> shift) & 0xF];
}

// The length of the UTF-8 sequence starting with `lead` (1 for a byte that leads none).
std::size_t SequenceLength(unsigned char lead) {
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  if (lead >= 0xE0) return lead <= 0xEF ? 3 : 1;
  if (lead >= 0xC2) return 2;
  return 1;
}

void AppendMember(std::string& out, std::string_view name) {
  out += out.empty() ? "{\"" : ",\"";
  out += name;
  out += "\":";
}

std::string_view FieldName(int field) {
  if (field >= ShopNameColumn && field < ResultColumnCount) {
    return JsonlCellNames[static_cast<std::size_t>(field)];
  }
  return "state";
}

std::string_view SourceName(ChangeSource source) {
  switch (source) {
    case ChangeSource::Refresh:
      return "refresh";
    case ChangeSource::Reparse:
      return "reparse";
    case ChangeSource::Walk:
      break;
  }
  return "walk";
}

}  // namespace

std::string_view ShopChangeKindName(ShopChangeKind kind) {
  switch (kind) {
    case ShopChangeKind::Changed:
      return "changed";
    case ShopChangeKind::Closed:
      return "closed";
    case ShopChangeKind::Reopened:
      return "reopened";
    case ShopChangeKind::New:
      break;
  }
  return "new";
}

void AppendSafeJsonText(std::string& out, std::string_view gbk) {
  // Valid UTF-8 whatever the bytes were.
  const std::string utf8 = ExportCellUtf8(gbk);
  out += '"';
  for (std::size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    std::size_t length = std::min(SequenceLength(lead), utf8.size() - i);
    char32_t point = length == 1 ? lead : lead & (0xFF >> (length + 1));
    for (std::size_t k = 1; k < length; ++k) {
      point = (point << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    }
    if (Escaped(point)) {
      AppendEscape(out, point);
    } else {
      out.append(utf8, i, length);
    }
    i += length;
  }
  out += '"';
}

std::string IsoUtcTime(std::int64_t unixMs) {
  // Years 0 to 9999 only, so the text keeps its form.
  constexpr std::int64_t Lowest = -62167219200000;
  constexpr std::int64_t Highest = 253402300799999;
  unixMs = std::clamp(unixMs, Lowest, Highest);
  std::int64_t seconds = unixMs / 1000;
  std::int64_t millis = unixMs % 1000;
  if (millis < 0) {
    millis += 1000;
    --seconds;
  }
  const auto time = static_cast<std::time_t>(seconds);
  std::tm parts{};
  gmtime_r(&time, &parts);
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                static_cast<int>(millis));
  return text;
}

std::string ShopChangeLine(ShopChangeKind kind, std::int32_t shopId, std::int64_t atMs,
                           const ShopRecord* record, const ShopTimes* times) {
  std::string line;
  AppendMember(line, "change");
  line += '"';
  line += ShopChangeKindName(kind);
  line += '"';
  AppendMember(line, "shop_id");
  line += std::to_string(shopId);
  AppendMember(line, "at");
  line += '"' + IsoUtcTime(atMs) + '"';
  if (record != nullptr) {
    const ResultRow row = record->Row("");
    for (int column = ShopNameColumn; column < ResultColumnCount; ++column) {
      AppendMember(line, JsonlCellNames[static_cast<std::size_t>(column)]);
      AppendSafeJsonText(line, row[static_cast<std::size_t>(column)]);
    }
  }
  if (times != nullptr) {
    AppendMember(line, "first_seen");
    line += '"' + IsoUtcTime(times->firstSeenMs) + '"';
    AppendMember(line, "checked");
    line += '"' + IsoUtcTime(times->checkedMs) + '"';
    AppendMember(line, "changed");
    line += '"' + IsoUtcTime(times->changedMs) + '"';
    AppendMember(line, "closed");
    line += times->closedMs ? '"' + IsoUtcTime(*times->closedMs) + '"' : std::string("null");
  }
  line += "}\n";
  return line;
}

std::string HistoryLine(const ShopChange& change) {
  std::string line;
  AppendMember(line, "shop_id");
  line += std::to_string(change.shopId);
  AppendMember(line, "field");
  line += '"';
  line += FieldName(change.field);
  line += '"';
  AppendMember(line, "old");
  AppendSafeJsonText(line, change.oldValue);
  AppendMember(line, "new");
  AppendSafeJsonText(line, change.newValue);
  AppendMember(line, "at");
  line += '"' + IsoUtcTime(change.changedMs) + '"';
  AppendMember(line, "at_ms");
  line += std::to_string(change.changedMs);
  AppendMember(line, "source");
  line += '"';
  line += SourceName(change.source);
  line += "\"}\n";
  return line;
}

ChangeStream::~ChangeStream() {
  Close();
}

bool ChangeStream::Open(const std::string& path, std::string& reason) {
  if (path.empty()) return true;
  if (path == "-") {
    file_ = stdout;
    return true;
  }
  const int fd = OpenForWriting(path, reason);
  if (fd < 0) return false;
  file_ = ::fdopen(fd, "wb");
  if (file_ == nullptr) {
    reason = std::strerror(errno);
    ::close(fd);
    return false;
  }
  owned_ = true;
  return true;
}

void ChangeStream::Write(const std::string& line) {
  std::lock_guard lock(mutex_);
  if (file_ == nullptr) return;
  if (std::fwrite(line.data(), 1, line.size(), file_) != line.size() || std::fflush(file_) != 0) {
    if (failure_.empty()) failure_ = std::strerror(errno);
  }
}

std::string ChangeStream::Close() {
  std::lock_guard lock(mutex_);
  if (owned_ && file_ != nullptr && std::fclose(file_) != 0 && failure_.empty()) {
    failure_ = std::strerror(errno);
  }
  file_ = nullptr;
  return failure_;
}

}  // namespace shopwalk
