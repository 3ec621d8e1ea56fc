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

// Version 3: each shop's history. A shop keeps when it was first seen, last checked (collected_ms,
// as before), last changed and closed, and what collected it last; every change of a field is
// recorded with its old and new value, when and by what. A shop of an earlier version counts as
// first seen and last changed when it was last collected: nothing older is known of it.
constexpr std::string_view CreateVersion3 = R"sql(
ALTER TABLE shops ADD COLUMN first_seen_ms INTEGER;
ALTER TABLE shops ADD COLUMN changed_ms INTEGER;
ALTER TABLE shops ADD COLUMN closed_ms INTEGER;  -- NULL while it is open
ALTER TABLE shops ADD COLUMN collected_by INTEGER NOT NULL DEFAULT 1;  -- 1 walk, 2 refresh,
                                                                       -- 3 reparse
UPDATE shops SET first_seen_ms = collected_ms, changed_ms = collected_ms;
CREATE INDEX shops_by_checked ON shops (collected_ms);
CREATE INDEX shops_by_first_seen ON shops (first_seen_ms);
CREATE INDEX shops_by_changed ON shops (changed_ms);
CREATE INDEX shops_by_closed ON shops (closed_ms) WHERE closed_ms IS NOT NULL;

-- Every change of a shop's field, in the order they were written.
CREATE TABLE shop_changes (
  change_seq INTEGER PRIMARY KEY,
  shop_id INTEGER NOT NULL,
  field INTEGER NOT NULL,          -- 1 name, 2 reputation, 3 messenger, 4 opening date, 5 address,
                                   -- 6 open or closed
  old_value BLOB NOT NULL,
  new_value BLOB NOT NULL,
  changed_ms INTEGER NOT NULL,
  source INTEGER NOT NULL          -- as collected_by
);
CREATE INDEX shop_changes_by_time ON shop_changes (changed_ms);
CREATE INDEX shop_changes_by_shop ON shop_changes (shop_id, change_seq);

-- A row collected again records each field whose bytes changed; a shop closing or opening again
-- is recorded as field 6, from "open" to "closed" or back.
CREATE TRIGGER shops_history AFTER UPDATE OF name, reputation, messenger, opening_date, address,
closed_ms ON shops BEGIN
  INSERT INTO shop_changes (shop_id, field, old_value, new_value, changed_ms, source)
    SELECT NEW.shop_id, 1, OLD.name, NEW.name, NEW.collected_ms, NEW.collected_by
      WHERE OLD.name IS NOT NEW.name
    UNION ALL SELECT NEW.shop_id, 2, OLD.reputation, NEW.reputation, NEW.collected_ms,
      NEW.collected_by WHERE OLD.reputation IS NOT NEW.reputation
    UNION ALL SELECT NEW.shop_id, 3, OLD.messenger, NEW.messenger, NEW.collected_ms,
      NEW.collected_by WHERE OLD.messenger IS NOT NEW.messenger
    UNION ALL SELECT NEW.shop_id, 4, OLD.opening_date, NEW.opening_date, NEW.collected_ms,
      NEW.collected_by WHERE OLD.opening_date IS NOT NEW.opening_date
    UNION ALL SELECT NEW.shop_id, 5, OLD.address, NEW.address, NEW.collected_ms,
      NEW.collected_by WHERE OLD.address IS NOT NEW.address
    UNION ALL SELECT NEW.shop_id, 6,
      CASE WHEN NEW.closed_ms IS NULL THEN CAST('closed' AS BLOB) ELSE CAST('open' AS BLOB) END,
      CASE WHEN NEW.closed_ms IS NULL THEN CAST('open' AS BLOB) ELSE CAST('closed' AS BLOB) END,
      NEW.collected_ms, NEW.collected_by
      WHERE (OLD.closed_ms IS NULL) IS NOT (NEW.closed_ms IS NULL);
END;
)sql";

// Each step upgrades a file of the version before it; steps[n] makes version n + 1.
constexpr std::string_view UpgradeSteps[] = {CreateVersion1, CreateVersion2, CreateVersion3};
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
