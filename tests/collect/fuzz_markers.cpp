// libFuzzer target over markers.ini's reader and the cuts made with what it gives. An input is a
// markers.ini text, then optionally 0x01 and a page the markers taken from it cut. A file is
// either taken, with markers a walk can use, or refused with a line of the file; a violation
// aborts.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "collect/markers.h"
#include "collect/page_cut.h"
#include "collect/shop_record.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

int LinesOf(std::string_view text) {
  int lines = 1;
  for (const char c : text) lines += c == '\n' ? 1 : 0;
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace shopwalk;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find('\x01');
  const std::string_view file = input.substr(0, split);
  const std::string_view page =
      split == std::string_view::npos ? std::string_view() : input.substr(split + 1);

  const auto parsed = ParseMarkersIni(file);
  if (!parsed) {
    Check(parsed.error().line >= 0 && parsed.error().line <= LinesOf(file));
    Check(!parsed.error().reason.empty());
    for (const char c : parsed.error().reason) {
      Check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
    }
    return 0;
  }
  const Markers& m = parsed->markers;
  bool known = false;
  for (const std::string_view encoding : KnownPageEncodings()) known |= m.encoding == encoding;
  Check(known);
  for (const MarkerField& field : MarkerFields()) {
    const std::string& marker = m.*field.member;
    Check(!marker.empty() && marker.find('\0') == std::string::npos);
  }
  const HomeCut home = CutHomePage(m, page);
  Check(home.shopName.size() <= static_cast<std::size_t>(MaxFieldBytes));
  Check(home.messenger.size() <= static_cast<std::size_t>(MaxFieldBytes));
  Check(!home.noShop || (home.shopName.empty() && home.messenger.empty()));
  const RatingCut rating = CutRatingPage(m, page);
  Check(rating.openingDate.size() <= static_cast<std::size_t>(MaxFieldBytes));
  Check(rating.reputation.size() <= static_cast<std::size_t>(MaxFieldBytes));
  return 0;
}
