#include "results/pg/pg_schema.h"

#include <iterator>
#include <string_view>

namespace shopwalk::results {
namespace {

// Taken (for the transaction) by whoever creates or upgrades the layout: "shopwalk" in ASCII.
constexpr std::int64_t LayoutLockKey = 0x73686f7077616c6b;

// The schema and its version table, before the first step.
constexpr std::string_view CreateSchema = R"sql(
CREATE SCHEMA shopwalk;
CREATE TABLE shopwalk.schema_version (
  version integer NOT NULL,
  changed_at timestamptz NOT NULL DEFAULT pg_catalog.now()
);
INSERT INTO shopwalk.schema_version (version) VALUES (0);
)sql";

// Version 1: the results. Texts from the marketplace, places and reasons are bytea: their bytes
// (GBK, or anything) come back exactly as they went in.
constexpr std::string_view CreateVersion1 = R"sql(
-- One row per shop; a shop collected again overwrites its row.
CREATE TABLE shopwalk.shops (
  shop_id bigint PRIMARY KEY,
  name bytea NOT NULL,
  reputation bytea NOT NULL,
  messenger bytea NOT NULL,
  opening_date bytea NOT NULL,
  address bytea NOT NULL,
  collected_at timestamptz NOT NULL
);

-- The latest answer of every shop ID that has one: 0 a row was collected, 1 no shop, 2 no
-- fields, 3 failed. A row stays in shops whatever answer comes later.
CREATE TABLE shopwalk.outcomes (
  shop_id bigint PRIMARY KEY,
  outcome smallint NOT NULL CHECK (outcome BETWEEN 0 AND 3),
  answered_at timestamptz NOT NULL
);

-- Shops whose pages failed for good, until they get a row or another answer.
CREATE SEQUENCE shopwalk.failure_positions;
CREATE TABLE shopwalk.failed_shops (
  shop_id bigint PRIMARY KEY,
  attempts integer NOT NULL,
  reason bytea NOT NULL,
  failed_at timestamptz NOT NULL,
  position bigint NOT NULL         -- grows in the order the failures were reported
);
CREATE INDEX failed_by_position ON shopwalk.failed_shops (position);

CREATE SEQUENCE shopwalk.run_ids;
CREATE TABLE shopwalk.runs (
  run_id bigint PRIMARY KEY,
  kind smallint NOT NULL,          -- 1 the window, 2 the command line
  started_at timestamptz NOT NULL,
  ended_at timestamptz,
  clean_end boolean NOT NULL DEFAULT false,
  place bytea NOT NULL,
  place_saved boolean
);
)sql";

// Version 2: the walk shared by several machines.
constexpr std::string_view CreateVersion2 = R"sql(
-- A walk over a range of shop IDs, handed out in blocks from a shared cursor.
CREATE TABLE shopwalk.walks (
  walk_id bigserial PRIMARY KEY,
  first_id bigint NOT NULL,
  end_id bigint,                   -- the last shop ID; NULL: up to the highest there is
  next_id bigint NOT NULL,         -- the cursor: where the next new block starts
  block_size integer NOT NULL CHECK (block_size > 0),
  created_at timestamptz NOT NULL DEFAULT pg_catalog.now(),
  finished_at timestamptz
);

-- The programs walking (or that walked), for status displays.
CREATE TABLE shopwalk.nodes (
  node_id bigserial PRIMARY KEY,
  walk_id bigint REFERENCES shopwalk.walks,
  host text NOT NULL,
  pid integer NOT NULL,
  started_at timestamptz NOT NULL DEFAULT pg_catalog.now(),
  last_seen timestamptz NOT NULL DEFAULT pg_catalog.now(),
  stopped_at timestamptz,
  rate double precision NOT NULL DEFAULT 0,  -- shop IDs answered a second, as measured
  paced_rate double precision                -- the rate it was asked to walk at
);

-- Every claim of a block or of a failed shop takes a new epoch from here; every write of an
-- outcome checks that its epoch is still the holder's.
CREATE SEQUENCE shopwalk.lease_epochs;

CREATE TABLE shopwalk.blocks (
  block_id bigserial PRIMARY KEY,
  walk_id bigint NOT NULL REFERENCES shopwalk.walks,
  first_id bigint NOT NULL,
  last_id bigint NOT NULL,
  node_id bigint REFERENCES shopwalk.nodes,  -- the holder, or the node that finished it
  epoch bigint NOT NULL,
  lease_until timestamptz,         -- NULL once done
  claims integer NOT NULL DEFAULT 1,
  done_at timestamptz,             -- set when every ID in it has an outcome
  UNIQUE (walk_id, first_id)
);
CREATE INDEX blocks_unfinished ON shopwalk.blocks (lease_until) WHERE done_at IS NULL;
CREATE INDEX blocks_by_node ON shopwalk.blocks (node_id);

-- The walk whose block answered the ID (NULL for answers from before sharing).
ALTER TABLE shopwalk.outcomes ADD COLUMN walk_id bigint;
CREATE INDEX outcomes_by_walk ON shopwalk.outcomes (walk_id, shop_id);

-- Failed shops are tried again by one node at a time, under a lease of their own.
ALTER TABLE shopwalk.failed_shops
  ADD COLUMN due_at timestamptz,
  ADD COLUMN retry_rounds integer NOT NULL DEFAULT 0,
  ADD COLUMN retry_node bigint REFERENCES shopwalk.nodes,
  ADD COLUMN retry_epoch bigint,
  ADD COLUMN retry_until timestamptz;
UPDATE shopwalk.failed_shops SET due_at = failed_at;
ALTER TABLE shopwalk.failed_shops ALTER COLUMN due_at SET NOT NULL;
CREATE INDEX failed_due ON shopwalk.failed_shops (due_at);

ALTER TABLE shopwalk.runs ADD COLUMN node_id bigint REFERENCES shopwalk.nodes;
)sql";

// Version 3: kept pages (packed with zstd, each walk's with a dictionary of its own, within a
// budget that drops the oldest first), shops marked to revisit, and why a node stopped. A version
// 2 store kept a mark as a failure without tries and with the reason "pages no longer match":
// those become marks, due at once.
constexpr std::string_view CreateVersion3 = R"sql(
CREATE SEQUENCE shopwalk.dictionary_ids;
CREATE TABLE shopwalk.page_dictionaries (
  dictionary_id bigint PRIMARY KEY,
  bytes bytea NOT NULL,
  kept_at timestamptz NOT NULL
);

-- One page per shop and kind; a page kept again replaces the one before and becomes the newest.
CREATE SEQUENCE shopwalk.kept_seq;
CREATE TABLE shopwalk.kept_pages (
  shop_id bigint NOT NULL,
  kind smallint NOT NULL CHECK (kind IN (1, 2)),  -- 1 home page, 2 rating page
  dictionary_id bigint NOT NULL,   -- 0: packed without one
  page_bytes bigint NOT NULL,      -- the page's own size
  packed_bytes bigint NOT NULL,    -- the size of bytes
  bytes bytea NOT NULL,            -- a zstd frame
  kept_seq bigint NOT NULL,        -- grows as pages are kept: the oldest go first
  kept_at timestamptz NOT NULL,
  PRIMARY KEY (shop_id, kind)
);
CREATE INDEX kept_pages_by_seq ON shopwalk.kept_pages (kept_seq);

-- One row: pages dropped to stay within a budget, ever, and the packed bytes kept now.
CREATE TABLE shopwalk.kept_page_tally (
  dropped bigint NOT NULL,
  packed_bytes bigint NOT NULL
);
INSERT INTO shopwalk.kept_page_tally (dropped, packed_bytes) VALUES (0, 0);

-- A shop marked to revisit (its answer came while the pages stopped matching the markers) waits
-- on the failed list, due at once and claimed like a failed shop, without spending its rounds,
-- until a row, an answer or a failure comes for it.
ALTER TABLE shopwalk.failed_shops ADD COLUMN revisit boolean NOT NULL DEFAULT false;
UPDATE shopwalk.failed_shops SET revisit = true, due_at = failed_at
  WHERE attempts = 0 AND reason = '\x7061676573206e6f206c6f6e676572206d61746368'::bytea;

-- Why a node stopped on its own (the page-match guard); NULL otherwise.
ALTER TABLE shopwalk.nodes ADD COLUMN held_reason text;
)sql";

// Version 4: each shop's history. A shop keeps when it was first seen, last checked (collected_at,
// as before), last changed and closed, and what collected it last; every change of a field is
// recorded with its old and new value, when and by what. A shop of an earlier version counts as
// first seen and last changed when it was last collected: nothing older is known of it.
constexpr std::string_view CreateVersion4 = R"sql(
ALTER TABLE shopwalk.shops
  ADD COLUMN first_seen_at timestamptz,
  ADD COLUMN changed_at timestamptz,
  ADD COLUMN closed_at timestamptz,                      -- NULL while it is open
  ADD COLUMN collected_by smallint NOT NULL DEFAULT 1;   -- 1 walk, 2 refresh, 3 reparse
UPDATE shopwalk.shops SET first_seen_at = collected_at, changed_at = collected_at;
CREATE INDEX shops_by_checked ON shopwalk.shops (collected_at);
CREATE INDEX shops_by_first_seen ON shopwalk.shops (first_seen_at);
CREATE INDEX shops_by_changed ON shopwalk.shops (changed_at);
CREATE INDEX shops_by_closed ON shopwalk.shops (closed_at) WHERE closed_at IS NOT NULL;

-- Every change of a shop's field, in the order they were written.
CREATE TABLE shopwalk.shop_changes (
  change_seq bigserial PRIMARY KEY,
  shop_id bigint NOT NULL,
  field smallint NOT NULL,      -- 1 name, 2 reputation, 3 messenger, 4 opening date, 5 address,
                                -- 6 open or closed
  old_value bytea NOT NULL,
  new_value bytea NOT NULL,
  changed_at timestamptz NOT NULL,
  source smallint NOT NULL      -- as collected_by
);
CREATE INDEX shop_changes_by_time ON shopwalk.shop_changes (changed_at);
CREATE INDEX shop_changes_by_shop ON shopwalk.shop_changes (shop_id, change_seq);

-- A row collected again records each field whose bytes changed; a shop closing or opening again
-- is recorded as field 6, from "open" to "closed" or back.
CREATE FUNCTION shopwalk.record_shop_changes() RETURNS trigger LANGUAGE plpgsql AS $body$
BEGIN
  INSERT INTO shopwalk.shop_changes (shop_id, field, old_value, new_value, changed_at, source)
    SELECT NEW.shop_id, f.field, f.old_value, f.new_value, NEW.collected_at, NEW.collected_by
    FROM (VALUES (1, OLD.name, NEW.name), (2, OLD.reputation, NEW.reputation),
                 (3, OLD.messenger, NEW.messenger), (4, OLD.opening_date, NEW.opening_date),
                 (5, OLD.address, NEW.address),
                 (6, CASE WHEN OLD.closed_at IS NULL THEN '\x6f70656e'::bytea
                     ELSE '\x636c6f736564'::bytea END,
                     CASE WHEN NEW.closed_at IS NULL THEN '\x6f70656e'::bytea
                     ELSE '\x636c6f736564'::bytea END)) AS f (field, old_value, new_value)
    WHERE f.old_value IS DISTINCT FROM f.new_value;
  RETURN NULL;
END
$body$;
CREATE TRIGGER shops_history AFTER UPDATE ON shopwalk.shops
  FOR EACH ROW EXECUTE FUNCTION shopwalk.record_shop_changes();
)sql";

// Each step upgrades a layout of the version before it; steps[n] makes version n + 1.
constexpr std::string_view UpgradeSteps[] = {CreateVersion1, CreateVersion2, CreateVersion3,
                                             CreateVersion4};
static_assert(std::size(UpgradeSteps) == PgSchemaVersion);

pg::Status Unusable(const Layout& layout) {
  return pg::Status(UnusableSchemaState, DescribeUnusableLayout(layout, PgLayoutWords), false);
}

}  // namespace

Expected<Layout, pg::Status> InspectPgSchema(pg::Connection& connection) {
  pg::Result found;
  if (auto status = connection.Run(
          "SELECT EXISTS (SELECT 1 FROM pg_catalog.pg_namespace WHERE nspname = 'shopwalk'), "
          "pg_catalog.to_regclass('shopwalk.schema_version') IS NOT NULL",
          found);
      !status) {
    return MakeUnexpected(std::move(status));
  }
  if (!found.Bool(0, 0)) return Layout{LayoutState::Empty, 0};
  if (!found.Bool(0, 1)) return Layout{LayoutState::Foreign, 0};
  pg::Result stored;
  if (auto status = connection.Run(
          "SELECT coalesce(pg_catalog.max(version), -1)::bigint FROM shopwalk.schema_version",
          stored);
      !status) {
    return MakeUnexpected(std::move(status));
  }
  const std::int64_t version = stored.Int64(0, 0);
  return Layout{StateOfVersion(version, PgSchemaVersion), version};
}

pg::Status CreateOrUpgradePgSchema(pg::Connection& connection, std::int64_t target) {
  if (target < 0 || target > PgSchemaVersion) target = PgSchemaVersion;
  pg::Transaction transaction(connection);
  if (auto status = transaction.Begin(); !status) return status;
  if (auto status = connection.Run("SELECT pg_catalog.pg_advisory_xact_lock($1)",
                                   pg::Params().Int(LayoutLockKey));
      !status) {
    return status;
  }
  // Read under the lock: another program may have created or upgraded it meanwhile.
  auto layout = InspectPgSchema(connection);
  if (!layout) return layout.error();
  const std::int64_t version = layout->version;
  switch (layout->state) {
    case LayoutState::Foreign:
    case LayoutState::Newer:
      return Unusable(*layout);
    case LayoutState::Empty:
      if (auto status = connection.Execute(CreateSchema); !status) return status;
      break;
    case LayoutState::Current:
    case LayoutState::Older:
      break;
  }
  if (version >= target) return transaction.Commit();
  for (std::int64_t step = version; step < target; ++step) {
    if (auto status = connection.Execute(UpgradeSteps[step]); !status) return status;
  }
  if (auto status = connection.Run(
          "UPDATE shopwalk.schema_version SET version = $1, changed_at = pg_catalog.now()",
          pg::Params().Int(target));
      !status) {
    return status;
  }
  return transaction.Commit();
}

}  // namespace shopwalk::results
