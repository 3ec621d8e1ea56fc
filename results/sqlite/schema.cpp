#include "results/sqlite/schema.h"

#include <sqlite3.h>

#include <iterator>
#include <string_view>

namespace shopwalk::results {
namespace {

// Version 1. Times are Unix time in milliseconds. Texts from the marketplace, places and reasons
// are BLOBs: their bytes (GBK, or anything) come back exactly as they went in.
constexpr std::string_view CreateVersion1 = R"sql(
CREATE TABLE runs (
  run_id INTEGER PRIMARY KEY,
  kind INTEGER NOT NULL,           -- 1 the window, 2 the command line
  started_ms INTEGER NOT NULL,
  ended_ms INTEGER,                -- NULL while it runs, or when it was cut off
  clean_end INTEGER NOT NULL DEFAULT 0,  -- 1 once its end was reported
  place BLOB NOT NULL,             -- the walk's place, kept current
  place_saved INTEGER,             -- at a clean end: 1 when the place went to config.ini
  opened_seq INTEGER NOT NULL      -- grows each time a run begins or continues: a kind's last
                                   -- run has its highest
);
CREATE INDEX runs_by_kind ON runs (kind, opened_seq);

-- One row per shop; a shop collected again overwrites its row.
CREATE TABLE shops (
  shop_id INTEGER PRIMARY KEY,
  name BLOB NOT NULL,
  reputation BLOB NOT NULL,
  messenger BLOB NOT NULL,
  opening_date BLOB NOT NULL,
  address BLOB NOT NULL,
  collected_ms INTEGER NOT NULL,
  run_id INTEGER                   -- the run that collected it last; NULL outside a run
);

-- Each run's list: the shops in the order their rows were appended.
CREATE TABLE run_rows (
  run_id INTEGER NOT NULL,
  seq INTEGER NOT NULL,            -- 1, 2, 3, ... within the run
  shop_id INTEGER NOT NULL,
  PRIMARY KEY (run_id, seq)
) WITHOUT ROWID;

-- Shop IDs answered without a row, as ranges of consecutive IDs with one outcome. Ranges never
-- overlap, and neighbours with the same outcome are merged.
CREATE TABLE answer_ranges (
  first_id INTEGER PRIMARY KEY,
  last_id INTEGER NOT NULL,
  outcome INTEGER NOT NULL         -- 1 no shop, 2 no fields
);

-- Shops whose pages failed for good, until they get a row or another answer.
CREATE TABLE failed_shops (
  shop_id INTEGER PRIMARY KEY,
  attempts INTEGER NOT NULL,
  reason BLOB NOT NULL,
  failed_ms INTEGER NOT NULL,
  position INTEGER NOT NULL        -- grows in the order the failures were reported
);
CREATE INDEX failed_by_position ON failed_shops (position);
)sql";

// Version 2: kept pages (packed with zstd, each walk's with a dictionary of its own, within a
// budget that drops the oldest first) and shops marked to revisit. A version 1 store kept a mark
// as a failure without tries and with the reason "pages no longer match": those become marks.
constexpr std::string_view CreateVersion2 = R"sql(
CREATE TABLE page_dictionaries (
  dictionary_id INTEGER PRIMARY KEY,
  bytes BLOB NOT NULL,
  kept_ms INTEGER NOT NULL
);

-- One page per shop and kind; a page kept again replaces the one before and becomes the newest.
CREATE TABLE kept_pages (
  kept_seq INTEGER PRIMARY KEY,    -- grows as pages are kept: the oldest go first
  shop_id INTEGER NOT NULL,
  kind INTEGER NOT NULL,           -- 1 home page, 2 rating page
  dictionary_id INTEGER NOT NULL,  -- 0: packed without one
  page_bytes INTEGER NOT NULL,     -- the page's own size
  packed_bytes INTEGER NOT NULL,   -- the size of bytes
  bytes BLOB NOT NULL,             -- a zstd frame
  kept_ms INTEGER NOT NULL
);
CREATE UNIQUE INDEX kept_pages_by_shop ON kept_pages (shop_id, kind);

-- One row: pages dropped to stay within a budget, ever, and the packed bytes kept now.
CREATE TABLE kept_page_tally (
  dropped INTEGER NOT NULL,
  packed_bytes INTEGER NOT NULL
);
INSERT INTO kept_page_tally (dropped, packed_bytes) VALUES (0, 0);

-- Shops whose answer is not to be trusted (the pages stopped matching the markers while it
-- came), asked again before new shops until a row, an answer or a failure comes for them.
CREATE TABLE revisits (
  shop_id INTEGER PRIMARY KEY,
  marked_ms INTEGER NOT NULL,
  position INTEGER NOT NULL        -- grows in the order the marks were reported
);
CREATE INDEX revisits_by_position ON revisits (position);
INSERT INTO revisits (shop_id, marked_ms, position)
  SELECT shop_id, failed_ms, position FROM failed_shops
  WHERE attempts = 0 AND reason = CAST('pages no longer match' AS BLOB);
DELETE FROM failed_shops WHERE attempts = 0 AND reason = CAST('pages no longer match' AS BLOB);
)sql";

// Each step upgrades a file of the version before it; steps[n] makes version n + 1.
constexpr std::string_view UpgradeSteps[] = {CreateVersion1, CreateVersion2};
static_assert(std::size(UpgradeSteps) == StoreSchemaVersion);

}  // namespace

Expected<Layout, sqlite::Status> InspectSchema(sqlite::Connection& connection) {
  std::int64_t applicationId = 0;
  std::int64_t tables = 0;
  Layout layout;
  if (auto status = connection.QueryInt64("PRAGMA application_id", applicationId); !status) {
    return MakeUnexpected(std::move(status));
  }
  if (auto status = connection.QueryInt64("PRAGMA user_version", layout.version); !status) {
    return MakeUnexpected(std::move(status));
  }
  if (auto status = connection.QueryInt64("SELECT count(*) FROM sqlite_schema", tables); !status) {
    return MakeUnexpected(std::move(status));
  }
  if (applicationId == 0 && layout.version == 0 && tables == 0) {
    layout.state = LayoutState::Empty;
  } else if (applicationId != StoreApplicationId || layout.version <= 0) {
    layout.state = LayoutState::Foreign;
  } else {
    layout.state = StateOfVersion(layout.version, StoreSchemaVersion);
  }
  return layout;
}

sqlite::Status CreateOrUpgradeSchema(sqlite::Connection& connection, const Layout& layout) {
  if (layout.state == LayoutState::Current) return {};
  if (layout.state != LayoutState::Empty && layout.state != LayoutState::Older) {
    return sqlite::Status(SQLITE_NOTADB, DescribeUnusableLayout(layout, StoreLayoutWords));
  }
  std::int64_t from = layout.state == LayoutState::Empty ? 0 : layout.version;
  for (std::int64_t step = from; step < StoreSchemaVersion; ++step) {
    if (auto status = connection.Execute(UpgradeSteps[step]); !status) return status;
  }
  return connection.Execute("PRAGMA application_id = " + std::to_string(StoreApplicationId) +
                            "; PRAGMA user_version = " + std::to_string(StoreSchemaVersion));
}

}  // namespace shopwalk::results
