-- The centre's PostgreSQL schema, kept by `qmhost ingest --db postgresql://...`.
-- Each step below runs once, in order, in one transaction with the version it
-- brings; qm_meta's schema_version tells which have run. A step is never
-- changed once released: a change is a new step at the end.

-- step 1
CREATE TABLE qm_meta(key text PRIMARY KEY, value text NOT NULL);

-- Per site's store: the site it belongs to (the first that sent it), the
-- contiguous marks confirmed to it, and the highest seqs kept (a row above
-- them is new without a look at the tables).
CREATE TABLE qm_store(
  store text PRIMARY KEY,
  site text NOT NULL,
  record_seq bigint NOT NULL DEFAULT 0,
  event_seq bigint NOT NULL DEFAULT 0,
  record_max bigint NOT NULL DEFAULT 0,
  event_max bigint NOT NULL DEFAULT 0
);

-- The records, a partition a day (qm_record_YYYYMMDD, made ahead by the
-- ingest); a record stamped outside the days the ingest keeps partitions for
-- goes to qm_record_other. "values" holds the record's values under their
-- keys (numbers as numbers, states as words), "alarms" its active alarm
-- points; body is the record as the unit sent it.
CREATE TABLE qm_record(
  store text NOT NULL,
  seq bigint NOT NULL,
  site text NOT NULL,
  unit text NOT NULL,
  slave integer NOT NULL,
  device_id bigint NOT NULL,
  time timestamptz NOT NULL,
  local_time text NOT NULL,
  clock_ok boolean NOT NULL,
  body bytea NOT NULL,
  "values" jsonb NOT NULL,
  alarms smallint[] NOT NULL,
  received timestamptz NOT NULL DEFAULT clock_timestamp(),
  PRIMARY KEY(store, seq, time)
) PARTITION BY RANGE (time);
CREATE INDEX qm_record_unit_time ON qm_record(site, unit, time);
CREATE TABLE qm_record_other PARTITION OF qm_record DEFAULT;
-- The values (some 4 KB of jsonb a record) compressed with lz4 where the
-- server has it: the default's compression was a quarter of the server's
-- time a row. A day's partition takes it from qm_record.
DO $$ BEGIN
  ALTER TABLE qm_record ALTER COLUMN "values" SET COMPRESSION lz4;
  ALTER TABLE qm_record_other ALTER COLUMN "values" SET COMPRESSION lz4;
EXCEPTION WHEN feature_not_supported OR invalid_parameter_value THEN NULL;
END $$;

CREATE TABLE qm_event(
  store text NOT NULL,
  seq bigint NOT NULL,
  site text NOT NULL,
  unit text,
  time timestamptz NOT NULL,
  kind text NOT NULL,
  detail text NOT NULL,
  received timestamptz NOT NULL DEFAULT clock_timestamp(),
  PRIMARY KEY(store, seq, time)
) PARTITION BY RANGE (time);
CREATE INDEX qm_event_unit_time ON qm_event(site, unit, time);
CREATE TABLE qm_event_other PARTITION OF qm_event DEFAULT;

-- step 2
-- When each store last brought rows: which sites have gone quiet.
ALTER TABLE qm_store ADD COLUMN received timestamptz NOT NULL DEFAULT now();
CREATE INDEX qm_store_site_received ON qm_store(site, received);
