#include "agent/store_schema.hpp"

#include "agent/store.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace agent::store_schema {

const char kTables[] = R"(
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT NOT NULL) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS record(
  seq INTEGER PRIMARY KEY AUTOINCREMENT,
  unit TEXT NOT NULL,
  slave INTEGER NOT NULL,
  device_id INTEGER NOT NULL,
  ts_ms INTEGER NOT NULL,         -- when the host received it: ms since 1970, UTC
  local_time TEXT NOT NULL,       -- the record's own time stamp, as text
  clock_ok INTEGER NOT NULL,
  rtype INTEGER NOT NULL,
  acked_ms INTEGER,               -- when the broker acknowledged it
  confirmed INTEGER NOT NULL DEFAULT 0,  -- the centre confirmed it kept it
  body BLOB NOT NULL,             -- base NULL: as the driver handed it; else packed against the keyframe
  base INTEGER                    -- the keyframe the body is packed against
);
-- Time first: a commit's new entries sit side by side in the newest leaf,
-- whatever the number of units, rather than one leaf per unit.
CREATE INDEX IF NOT EXISTS record_time ON record(ts_ms, unit);
CREATE INDEX IF NOT EXISTS record_open ON record(seq) WHERE confirmed = 0;
-- A copy of one record of a unit, the base the unit's next rows are packed
-- against. last_seq: no row above it packs against it (set when the unit
-- moves to a new keyframe; NULL while in use): it goes once every row up to
-- it is gone.
CREATE TABLE IF NOT EXISTS keyframe(
  id INTEGER PRIMARY KEY,
  unit TEXT NOT NULL,
  body BLOB NOT NULL,
  last_seq INTEGER
);
CREATE INDEX IF NOT EXISTS keyframe_done ON keyframe(last_seq) WHERE last_seq IS NOT NULL;
-- The units that have records: the store's retention walks them.
CREATE TABLE IF NOT EXISTS unit(name TEXT PRIMARY KEY) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS event(
  seq INTEGER PRIMARY KEY AUTOINCREMENT,
  unit TEXT,                      -- NULL: the agent's own
  ts_ms INTEGER NOT NULL,
  kind TEXT NOT NULL,
  detail TEXT NOT NULL,           -- a JSON object
  acked_ms INTEGER,
  confirmed INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX IF NOT EXISTS event_unit_time ON event(unit, ts_ms);
CREATE INDEX IF NOT EXISTS event_open ON event(seq) WHERE confirmed = 0;
)";

const std::vector<Step>& steps()
{
    static const std::vector<Step> known = {
        // 1 to 2: bodies packed against keyframes (the rows of 1 stay as
        // they were: base NULL), the time-first index, the unit list.
        {1, R"(
ALTER TABLE record ADD COLUMN base INTEGER;
DROP INDEX IF EXISTS record_unit_time;
CREATE INDEX record_time ON record(ts_ms, unit);
CREATE TABLE keyframe(id INTEGER PRIMARY KEY, unit TEXT NOT NULL, body BLOB NOT NULL, last_seq INTEGER);
CREATE INDEX keyframe_done ON keyframe(last_seq) WHERE last_seq IS NOT NULL;
CREATE TABLE unit(name TEXT PRIMARY KEY) WITHOUT ROWID;
INSERT INTO unit(name) SELECT DISTINCT unit FROM record;
)"},
    };
    return known;
}

namespace {

std::optional<int> version_number(const std::optional<std::string>& text)
{
    if (!text || text->empty() || text->size() > 9 ||
        !std::all_of(text->begin(), text->end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    return std::atoi(text->c_str());
}

const Step* step_from(const std::vector<Step>& steps, int from)
{
    const auto step = std::find_if(steps.begin(), steps.end(), [from](const Step& s) { return s.from == from; });
    return step == steps.end() ? nullptr : &*step;
}

}  // namespace

void migrate(sqlite::Connection& db, const std::optional<std::string>& version, int target,
             const std::vector<Step>& steps)
{
    const std::string here = "store " + db.path() + " has schema version " + version.value_or("(none)");
    const std::string ours = std::to_string(target);
    const std::optional<int> from = version_number(version);
    if (!from) throw StoreError(here + "; this program reads only versions up to " + ours);
    if (*from > target)
        throw StoreError(here + ", newer than this program's version " + ours +
                         "; run the program that wrote it, or move the file aside");
    for (int at = *from; at < target; ++at) {
        const Step* step = step_from(steps, at);
        if (step == nullptr)
            throw StoreError(here + "; this program writes version " + ours + " and cannot bring version " +
                             std::to_string(at) + " forward; move the file aside");
        db.execute(step->sql);
    }
    if (*from == target) return;
    sqlite::Statement put(db, "UPDATE meta SET value = ?1 WHERE key = 'schema_version'");
    put.bind(1, ours).run();
}

}  // namespace agent::store_schema
