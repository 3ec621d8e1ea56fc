// The fixed texts the engine looks for in the marketplace's pages, in the pages' encoding (GBK
// unless markers.ini says otherwise), and markers.ini, the file through which a user changes any
// of them when the marketplace changes its pages.
//
// Every function here is pure and thread-safe and accepts any bytes: a markers.ini that cannot be
// read as markers gives a reason naming its line, never a crash.
#pragma once

#include <cstddef>
#include <functional>
#include <set>
#include <span>
#include <string>
#include <string_view>

#include "base/expected.h"

namespace shopwalk {

struct Markers {
  std::string noShopNotice;      // "没有找到相应的店铺信息": the shop does not exist
  std::string shopNameLeft;      // "<title>首页-"
  std::string shopNameRight;     // "-Velmo网"
  std::string messengerLeft;     // "掌柜："
  std::string messengerRight;    // "</a>"
  std::string ratingLinkPrefix;  // "http://rate." + domain + "/user-rate-"
  std::string ratingTokenRight;  // one double quote
  std::string openingDateLeft;   // J_showShopStartDate" value="
  std::string openingDateRight;  // one double quote
  std::string reputationLeft;    // "卖家信用："
  std::string reputationRight;   // CR LF
  // The pages' encoding, as iconv names it: "GBK", "GB18030" or "UTF-8" (KnownPageEncodings).
  std::string encoding = "GBK";
};

// The built-in markers (GBK), converted once.
const Markers& GetMarkers();

// One marker as markers.ini names it, and where Markers holds it.
struct MarkerField {
  std::string_view key;  // "Shop_Name_Left"
  std::string Markers::*member;
};
// Every marker in the order of Markers (Encoding is not among them).
std::span<const MarkerField> MarkerFields();

inline constexpr std::string_view EncodingKey = "Encoding";
inline constexpr std::string_view MarkersSection = "Markers";
// The longest markers.ini read, and the longest marker it may set (in bytes, as written).
inline constexpr std::size_t MaxMarkersFileBytes = std::size_t{64} * 1024;
inline constexpr std::size_t MaxMarkerBytes = 1024;

// The markers in force and which of them (by key, Encoding included) markers.ini set; the others
// are built in.
struct MarkersInForce {
  Markers markers = GetMarkers();
  std::set<std::string, std::less<>> fromFile;
};

// Why markers.ini was not taken: its line (1-based; 0 for the file as a whole) and the reason.
struct MarkersProblem {
  int line = 0;
  std::string reason;
};

// Reads markers.ini's text (UTF-8). Lines are "Key=Value"; blank lines, lines starting with ';'
// or '#' and a "[Markers]" section line are passed by. A value is taken as written after its
// surrounding blanks are dropped, or in double quotes with the escapes \\ \" \r \n \t and \xHH
// (two hex digits), so that blanks at its ends and control bytes can be written. `Encoding=` names
// the pages' encoding; every marker, those left built in included, is converted to it. An unknown
// key, a key given twice, a line without '=', a value that is empty, holds a NUL byte, is not
// UTF-8, is longer than MaxMarkerBytes or cannot be written in the pages' encoding, an unknown
// encoding, or a text longer than MaxMarkersFileBytes is a problem, and none of the file is taken.
Expected<MarkersInForce, MarkersProblem> ParseMarkersIni(std::string_view text);

// The encodings pages may come in, by their iconv names.
std::span<const std::string_view> KnownPageEncodings();

// `text`, in the pages' encoding of `markers`, as UTF-8 (for showing a marker or a cut field to
// the user); a sequence that is not valid becomes U+FFFD.
std::string PageTextToUtf8(const Markers& markers, std::string_view text);
// `text`, in the pages' encoding of `markers`, as GBK (the code page of the rows); a character GBK
// cannot hold becomes '?'.
std::string PageTextToGbk(const Markers& markers, std::string_view text);

// Whether `page` holds `marker`, searched as the pages' encoding lays out its characters.
bool PageHolds(const Markers& markers, std::string_view page, std::string_view marker);
// The text of `page` between the first `left` and the next `right` after it, in the pages'
// encoding, or empty when either is missing (TextBetween for GBK pages; for UTF-8 a search of
// whole characters).
std::string CutPage(const Markers& markers, std::string_view page, std::string_view left,
                    std::string_view right);

}  // namespace shopwalk
