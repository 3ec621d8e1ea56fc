// shopwalk-cli markers show and markers try: the markers in force, and what they cut from pages
// the user saved, so that a marker can be fixed against a real page before walking again. Every
// marker and every cut text comes from outside (markers.ini, a shop owner's page): each is
// bounded and made safe for the terminal.
#include <cstdio>
#include <fstream>
#include <string>

#include "base/terminal_text.h"
#include "cli/commands.h"
#include "collect/gbk.h"
#include "collect/page_cut.h"
#include "collect/shop_record.h"
#include "collect/text.h"
#include "net/transfer.h"
#include "store/markers_file.h"

namespace shopwalk {
namespace {

// A text in the pages' encoding as the terminal shows it: UTF-8, quoted, control bytes as \xNN,
// at most MaxFieldBytes of the page's bytes.
std::string Shown(const Markers& markers, std::string_view pageText) {
  const std::string bounded = pageText.size() > static_cast<std::size_t>(MaxFieldBytes)
                                  ? std::string(pageText.substr(0, MaxFieldBytes)) + "..."
                                  : std::string(pageText);
  return "\"" + TerminalSafe(PageTextToUtf8(markers, bounded)) + "\"";
}

// A GBK field as the terminal shows it, or "(nothing)".
std::string ShownField(std::string_view gbk) {
  if (gbk.empty()) return "(nothing)";
  return "\"" + TerminalSafe(GbkToUtf8(gbk)) + "\"";
}

// A saved page: at most as many bytes as the engine takes of one, or nothing when unreadable.
std::optional<std::string> ReadPage(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string page(net::MaxBodyBytes, '\0');
  in.read(page.data(), static_cast<std::streamsize>(page.size()));
  if (in.bad()) return std::nullopt;
  page.resize(static_cast<std::size_t>(in.gcount()));
  return page;
}

int Show(const MarkersFile& file) {
  const MarkersInForce& inForce = file.inForce;
  std::printf("markers.ini: %s (%s)\n", TerminalSafe(file.path).c_str(),
              !file.found    ? "not found"
              : file.problem ? "not taken"
                             : "taken");
  const auto source = [&](std::string_view key) {
    return inForce.fromFile.contains(key) ? "markers.ini" : "built in";
  };
  std::printf("%-20s %-12s %s\n", std::string(EncodingKey).c_str(), source(EncodingKey),
              inForce.markers.encoding.c_str());
  for (const MarkerField& field : MarkerFields()) {
    std::printf("%-20s %-12s %s\n", std::string(field.key).c_str(), source(field.key),
                Shown(inForce.markers, inForce.markers.*field.member).c_str());
  }
  return file.problem ? 1 : 0;
}

int Try(const MarkersCommand& command, const MarkersFile& file) {
  const Markers& m = file.inForce.markers;
  const std::optional<std::string> page = ReadPage(command.page);
  if (!page) {
    std::fprintf(stderr, "shopwalk-cli: cannot read %s\n", TerminalSafe(command.page).c_str());
    return 1;
  }
  std::optional<std::string> rating;
  if (!command.rating.empty()) {
    rating = ReadPage(command.rating);
    if (!rating) {
      std::fprintf(stderr, "shopwalk-cli: cannot read %s\n", TerminalSafe(command.rating).c_str());
      return 1;
    }
  }
  std::printf("encoding: %s\n", m.encoding.c_str());
  std::printf("home page %s:\n", TerminalSafe(command.page).c_str());
  const HomeCut home = CutHomePage(m, *page);
  std::printf("  No_Shop_Notice       %s\n", home.noShop ? "found" : "not found");
  if (!home.noShop) {
    std::printf("  shop name            %s\n", ShownField(home.shopName).c_str());
    std::printf("  messenger            %s\n", ShownField(home.messenger).c_str());
    std::printf("  rating page          %s\n",
                home.ratingToken.empty() ? "(nothing)" : Shown(m, home.RatingAddress(m)).c_str());
  }
  RatingCut ratingCut;
  if (rating) {
    ratingCut = CutRatingPage(m, *rating);
    std::printf("rating page %s:\n", TerminalSafe(command.rating).c_str());
    std::printf("  opening date         %s\n", ShownField(ratingCut.openingDate).c_str());
    std::printf("  reputation           %s\n", ShownField(ratingCut.reputation).c_str());
  }
  // What a walk would make of these pages.
  std::string outcome;
  if (home.noShop) {
    outcome = "no shop";
  } else if (!home.HasFields() || home.shopName.empty()) {
    outcome = "no fields";
  } else {
    outcome = rating ? "a row" : "a row, once its rating page answers";
  }
  if (home.cut || ratingCut.cut)
    outcome += " (a field is cut to " + NumberToText(MaxFieldBytes) + " bytes)";
  std::printf("outcome: %s\n", outcome.c_str());
  return file.problem ? 1 : 0;
}

}  // namespace

void TellMarkersProblem(const MarkersFile& file) {
  if (!file.problem) return;
  std::fprintf(stderr, "shopwalk-cli: %s", TerminalSafe(file.path).c_str());
  if (file.problem->line > 0) std::fprintf(stderr, " line %d", file.problem->line);
  std::fprintf(stderr, ": %s; the built-in markers stay in force\n",
               TerminalSafe(file.problem->reason).c_str());
}

int RunMarkers(const MarkersCommand& command, const Folders& folders) {
  const MarkersFile file = LoadMarkersFile(folders.settingsRead);
  TellMarkersProblem(file);
  return command.action == MarkersCommand::Action::Show ? Show(file) : Try(command, file);
}

}  // namespace shopwalk
