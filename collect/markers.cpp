#include "collect/markers.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <optional>

#include "base/ascii.h"
#include "base/terminal_text.h"
#include "collect/gbk.h"
#include "collect/marketplace.h"
#include "collect/text.h"

namespace shopwalk {
namespace {

constexpr std::array<MarkerField, 11> Fields{{
    {"No_Shop_Notice", &Markers::noShopNotice},
    {"Shop_Name_Left", &Markers::shopNameLeft},
    {"Shop_Name_Right", &Markers::shopNameRight},
    {"Messenger_Left", &Markers::messengerLeft},
    {"Messenger_Right", &Markers::messengerRight},
    {"Rating_Link_Prefix", &Markers::ratingLinkPrefix},
    {"Rating_Token_Right", &Markers::ratingTokenRight},
    {"Opening_Date_Left", &Markers::openingDateLeft},
    {"Opening_Date_Right", &Markers::openingDateRight},
    {"Reputation_Left", &Markers::reputationLeft},
    {"Reputation_Right", &Markers::reputationRight},
}};

constexpr std::array<std::string_view, 3> Encodings{"GBK", "GB18030", "UTF-8"};

// The built-in markers as UTF-8, the form markers.ini is written in.
Markers BuiltInUtf8() {
  Markers m;
  m.noShopNotice = "没有找到相应的店铺信息";
  m.shopNameLeft = "<title>首页-";
  m.shopNameRight = "-Velmo网";
  m.messengerLeft = "掌柜：";
  m.messengerRight = "</a>";
  m.ratingLinkPrefix = "http://rate." + std::string(MarketplaceDomain) + "/user-rate-";
  m.ratingTokenRight = "\"";
  m.openingDateLeft = "J_showShopStartDate\" value=\"";
  m.openingDateRight = "\"";
  m.reputationLeft = "卖家信用：";
  m.reputationRight = "\r\n";
  m.encoding = "UTF-8";
  return m;
}

// The length of the character that starts at `p` in `encoding` as far as its bytes tell (1 for a
// byte that starts none), so that a character that cannot be converted becomes one replacement.
std::size_t CharacterLength(const std::string& encoding, const char* p, std::size_t n) {
  const auto byte = [p](std::size_t i) { return static_cast<unsigned char>(p[i]); };
  std::size_t length = 1;
  if (encoding == "UTF-8") {
    if (byte(0) >= 0xC2 && byte(0) <= 0xDF) length = 2;
    if (byte(0) >= 0xE0 && byte(0) <= 0xEF) length = 3;
    if (byte(0) >= 0xF0 && byte(0) <= 0xF4) length = 4;
    if (length > n) return 1;
    for (std::size_t i = 1; i < length; ++i) {
      if ((byte(i) & 0xC0) != 0x80) return 1;
    }
    return length;
  }
  // GBK and GB18030: a lead byte and a second one, or four bytes with digits second and fourth.
  if (byte(0) < 0x81 || byte(0) > 0xFE || n < 2) return 1;
  if (byte(1) >= 0x30 && byte(1) <= 0x39) return n >= 4 ? 4 : 1;
  return 2;
}

// Converts `in` from one encoding to another. Strict: nothing when a sequence is invalid or
// cannot be written in `to` (or iconv does not know either). Otherwise every such sequence
// becomes `replacement` and the conversion goes on with the next byte.
std::optional<std::string> Convert(const std::string& to, const std::string& from,
                                   std::string_view in,
                                   std::optional<std::string_view> replacement = std::nullopt) {
  iconv_t cd = iconv_open(to.c_str(), from.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out;
  out.reserve(in.size() + in.size() / 2 + 4);
  char* src = const_cast<char*>(in.data());
  std::size_t srcLeft = in.size();
  std::array<char, 4096> buffer{};
  bool ok = true;
  while (srcLeft > 0) {
    char* dst = buffer.data();
    std::size_t dstLeft = buffer.size();
    const std::size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    out.append(buffer.data(), static_cast<std::size_t>(dst - buffer.data()));
    if (rc != static_cast<std::size_t>(-1) || errno == E2BIG) continue;
    if (!replacement) {
      ok = false;
      break;
    }
    out.append(*replacement);
    const std::size_t skipped = std::min(CharacterLength(from, src, srcLeft), srcLeft);
    src += skipped;
    srcLeft -= skipped;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  iconv_close(cd);
  if (!ok) return std::nullopt;
  return out;
}

bool IsGbkFamily(const Markers& markers) {
  return markers.encoding != "UTF-8";
}

// The iconv name of an encoding as markers.ini may write it, or nothing.
std::optional<std::string> EncodingName(std::string_view value) {
  const std::string lower = AsciiLowercase(value);
  if (lower == "gbk" || lower == "cp936") return "GBK";
  if (lower == "gb18030") return "GB18030";
  if (lower == "utf-8" || lower == "utf8") return "UTF-8";
  return std::nullopt;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A text of the file as a reason shows it: bounded, control bytes as \xNN.
std::string Quoted(std::string_view text) {
  constexpr std::size_t Shown = 40;
  return TerminalSafe(text.substr(0, Shown)) + (text.size() > Shown ? "..." : "");
}

// A value as written: plain, or quoted with escapes. Nothing (with `reason`) when it is not.
std::optional<std::string> ValueOf(std::string_view written, std::string& reason) {
  if (written.empty() || written.front() != '"') return std::string(written);
  if (written.size() < 2 || written.back() != '"') {
    reason = "a quoted value has no closing quote";
    return std::nullopt;
  }
  const std::string_view inner = written.substr(1, written.size() - 2);
  std::string value;
  for (std::size_t i = 0; i < inner.size(); ++i) {
    const char c = inner[i];
    if (c == '"') {
      reason = "a quote inside a quoted value must be written \\\"";
      return std::nullopt;
    }
    if (c != '\\') {
      value += c;
      continue;
    }
    if (++i == inner.size()) {
      reason = "a quoted value ends in a lone backslash";
      return std::nullopt;
    }
    switch (inner[i]) {
      case '\\':
        value += '\\';
        break;
      case '"':
        value += '"';
        break;
      case 'r':
        value += '\r';
        break;
      case 'n':
        value += '\n';
        break;
      case 't':
        value += '\t';
        break;
      case 'x': {
        const int high = i + 1 < inner.size() ? HexDigit(inner[i + 1]) : -1;
        const int low = i + 2 < inner.size() ? HexDigit(inner[i + 2]) : -1;
        if (high < 0 || low < 0) {
          reason = "\\x must be followed by two hex digits";
          return std::nullopt;
        }
        value += static_cast<char>(high * 16 + low);
        i += 2;
        break;
      }
      default:
        reason = "unknown escape \\" + Quoted(inner.substr(i, 1)) +
                 " (known: \\\\ \\\" \\r \\n \\t \\xHH)";
        return std::nullopt;
    }
  }
  return value;
}

const MarkerField* FieldOf(std::string_view key) {
  for (const MarkerField& field : Fields) {
    if (EqualsIgnoringAsciiCase(field.key, key)) return &field;
  }
  return nullptr;
}

Unexpected<MarkersProblem> Problem(int line, std::string reason) {
  return MakeUnexpected(MarkersProblem{line, std::move(reason)});
}

}  // namespace

const Markers& GetMarkers() {
  static const Markers markers = [] {
    const Markers utf8 = BuiltInUtf8();
    Markers m;
    for (const MarkerField& field : Fields) m.*field.member = Utf8ToGbk(utf8.*field.member);
    m.encoding = "GBK";
    return m;
  }();
  return markers;
}

std::span<const MarkerField> MarkerFields() {
  return Fields;
}

std::span<const std::string_view> KnownPageEncodings() {
  return Encodings;
}

Expected<MarkersInForce, MarkersProblem> ParseMarkersIni(std::string_view text) {
  if (text.size() > MaxMarkersFileBytes) {
    return Problem(
        0, "the file is longer than " + std::to_string(MaxMarkersFileBytes / 1024) + " KiB");
  }
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  // The values as written (UTF-8), by field, and the line that set each.
  Markers written = BuiltInUtf8();
  std::array<int, Fields.size()> lineOf{};
  MarkersInForce inForce;
  std::string encoding = "GBK";
  int line = 0;
  while (!text.empty()) {
    ++line;
    const std::size_t end = text.find('\n');
    std::string_view raw = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (raw.ends_with('\r')) raw.remove_suffix(1);
    const std::string_view content = Trimmed(raw);
    if (content.empty() || content.front() == ';' || content.front() == '#') continue;
    if (content.front() == '[') {
      if (!EqualsIgnoringAsciiCase(content, "[" + std::string(MarkersSection) + "]")) {
        return Problem(line, "unknown section " + Quoted(content) + " (only [Markers])");
      }
      continue;
    }
    const std::size_t equals = content.find('=');
    if (equals == std::string_view::npos) {
      return Problem(line, "expected Key=Value, found " + Quoted(content));
    }
    const std::string_view key = Trimmed(content.substr(0, equals));
    std::string reason;
    const std::optional<std::string> value = ValueOf(Trimmed(content.substr(equals + 1)), reason);
    if (!value) return Problem(line, reason);
    if (value->empty()) return Problem(line, "the value of " + Quoted(key) + " is empty");
    if (value->size() > MaxMarkerBytes) {
      return Problem(line, "the value of " + Quoted(key) + " is longer than " +
                               std::to_string(MaxMarkerBytes) + " bytes");
    }
    if (value->find('\0') != std::string::npos) {
      return Problem(line, "the value of " + Quoted(key) + " holds a NUL byte");
    }
    if (!Convert("UTF-8", "UTF-8", *value)) {
      return Problem(line, "the value of " + Quoted(key) + " is not UTF-8");
    }
    if (EqualsIgnoringAsciiCase(key, EncodingKey)) {
      if (inForce.fromFile.contains(EncodingKey)) return Problem(line, "Encoding is set twice");
      const std::optional<std::string> name = EncodingName(*value);
      if (!name) {
        return Problem(line,
                       "unknown encoding " + Quoted(*value) + " (known: GBK, GB18030, UTF-8)");
      }
      encoding = *name;
      inForce.fromFile.emplace(EncodingKey);
      continue;
    }
    const MarkerField* field = FieldOf(key);
    if (field == nullptr) return Problem(line, "unknown marker " + Quoted(key));
    if (inForce.fromFile.contains(field->key)) {
      return Problem(line, std::string(field->key) + " is set twice");
    }
    inForce.fromFile.emplace(field->key);
    written.*field->member = *value;
    lineOf[static_cast<std::size_t>(field - Fields.data())] = line;
  }
  for (std::size_t i = 0; i < Fields.size(); ++i) {
    const MarkerField& field = Fields[i];
    const std::optional<std::string> converted = Convert(encoding, "UTF-8", written.*field.member);
    if (!converted) {
      return Problem(lineOf[i], std::string(field.key) + " cannot be written in " + encoding);
    }
    inForce.markers.*field.member = *converted;
  }
  inForce.markers.encoding = encoding;
  return inForce;
}

std::string PageTextToUtf8(const Markers& markers, std::string_view text) {
  if (markers.encoding == "GBK") return GbkToUtf8(text);
  return Convert("UTF-8", markers.encoding, text, "\xEF\xBF\xBD").value_or(std::string());
}

std::string PageTextToGbk(const Markers& markers, std::string_view text) {
  if (markers.encoding == "GBK") return std::string(text);
  return Convert("GBK", markers.encoding, text, "?").value_or(std::string());
}

bool PageHolds(const Markers& markers, std::string_view page, std::string_view marker) {
  if (IsGbkFamily(markers)) return FindText(page, marker) != -1;
  // UTF-8 finds a whole-character marker only at character starts; a page ends at its first NUL
  // as for the other encodings.
  const std::string_view text = page.substr(0, page.find('\0'));
  return !marker.empty() && text.find(marker) != std::string_view::npos;
}

std::string CutPage(const Markers& markers, std::string_view page, std::string_view left,
                    std::string_view right) {
  if (IsGbkFamily(markers)) return TextBetween(page, left, right);
  const std::string_view text = page.substr(0, page.find('\0'));
  if (left.empty() || right.empty()) return {};
  const std::size_t at = text.find(left);
  if (at == std::string_view::npos) return {};
  const std::size_t after = at + left.size();
  const std::size_t end = text.find(right, after);
  if (end == std::string_view::npos) return {};
  return std::string(text.substr(after, end - after));
}

}  // namespace shopwalk
