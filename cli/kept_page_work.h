// What shopwalk-cli does with the pages a walk kept (results/kept_pages.h): writes them out as
// files for inspection (export --pages), and cuts the rows again from them with the markers in
// force (reparse). Both read the pages in shop-ID order and hold no more than one shop's pages at
// a time beside the rows they compare with.
#pragma once

#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "base/expected.h"
#include "collect/markers.h"
#include "collect/result_sink.h"
#include "collect/shop_record.h"
#include "results/kept_pages.h"
#include "results/store_problem.h"

namespace shopwalk {

// The shop IDs a command works on, both included.
struct ShopIdRange {
  std::int32_t from = 0;
  std::int32_t to = std::numeric_limits<std::int32_t>::max();
};

// The file name of a kept page: "<shop ID>-home.html" or "<shop ID>-rating.html". Made of the
// shop ID alone: nothing of the page's text reaches a path.
std::string KeptPageFileName(std::int32_t shopId, PageKind kind);

struct PagesWritten {
  std::uint64_t files = 0;
  // Kept pages that could not be unpacked (damaged, or their dictionary is missing): not written.
  std::uint64_t unreadable = 0;
};
struct PagesProblem {
  std::string path;
  std::string reason;
};

// Writes every kept page of `range` into the existing folder `directory`, bytes as the marketplace
// sent them, one file each (KeptPageFileName; a file of that name is replaced, a symbolic link
// there is not followed). The problem when the folder is missing, no folder, or a file cannot be
// written (the files written before stay), or the store cannot be read.
Expected<PagesWritten, PagesProblem> WriteKeptPages(KeptPageStore& pages,
                                                    const std::string& directory,
                                                    ShopIdRange range = {});

// What a re-cut of kept pages did to the rows on record.
struct ReparseFigures {
  // Rows made where none was on record, rows that differ from the one on record (written), rows
  // the same as on record.
  std::uint64_t added = 0;
  std::uint64_t changed = 0;
  std::uint64_t unchanged = 0;
  // Shops whose pages give no row and that have no row on record: "no shop" or a shop's page
  // that lacks a field (their answer is written again), or a page no marker matches of a shop not
  // in doubt (its answer on record stands).
  std::uint64_t withoutRow = 0;
  // Shops marked to revisit because their pages still give nothing (no marker matches: a
  // verification page), or give fields but their rating page was not kept.
  std::uint64_t toRevisit = 0;
  // Kept pages that could not be unpacked.
  std::uint64_t unreadable = 0;
  // With a place given: the highest ID up to which every ID after the place has its home page
  // kept and dealt with above (answered, listed, or marked to revisit), when above the place.
  std::optional<std::int32_t> dealtThrough;
};

// Cuts the rows of the shops in `range` again from their kept pages with `markers`, and compares
// each with `stored` (the rows on record, by shop ID; only those in `range` are needed):
// - a row that is new or differs is written through `sink` (RowAppended); a row on record is never
//   replaced by one whose rating page gives neither date nor reputation, nor removed;
// - a page with the "no such shop" notice, or a shop's page lacking a field, is answered again
//   (Answered) when no row is on record;
// - a page no marker matches is marked to revisit (ToRevisit) when no row is on record and the
//   shop is in `marked` or lies above `place` (its answer was in doubt, or is not sure to be on
//   record; a page of before a change that the markers for after it do not match leaves its
//   answer as it is); a page with fields whose rating page was
//   not kept is marked when no row is on record: the next walk asks these shops again first;
// - a shop in `marked` (marked to revisit, or failed on record) that gives a row has it written
//   even when unchanged, which takes the mark off.
// With `place` (a walk's place), says how far after it the kept pages answered every ID
// (dealtThrough), so that the walk's place may move there. The store's problem when its kept pages
// cannot be read (what was written before stays).
Expected<ReparseFigures, StoreProblem> ReparseKeptPages(
    KeptPageStore& pages, const std::map<std::int32_t, ShopRecord>& stored,
    const std::set<std::int32_t>& marked, ResultSink& sink, const Markers& markers,
    ShopIdRange range = {}, std::optional<std::int32_t> place = std::nullopt);

}  // namespace shopwalk
