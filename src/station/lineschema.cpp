#include "lineschema.h"

QStringList LineSchema::creation()
{
    return {
        QStringLiteral("CREATE TABLE talvex_schema (version integer NOT NULL)"),
        // One range per database (a single row): its pattern and the number it hands out next.
        QStringLiteral("CREATE TABLE talvex_range (single boolean PRIMARY KEY DEFAULT true CHECK (single),"
                       " pattern text NOT NULL, next_number bigint NOT NULL)"),
        QStringLiteral("CREATE TABLE talvex_serial ("
                       " serial text PRIMARY KEY,"
                       " state text NOT NULL CHECK (state IN ('reserved', 'given', 'burnt', 'kept')),"
                       " station text NOT NULL,"
                       " run_id uuid NOT NULL,"
                       " changed timestamptz NOT NULL DEFAULT now())"),
        QStringLiteral(
            "CREATE INDEX talvex_serial_reserved ON talvex_serial (station) WHERE state = 'reserved'"),
        // The unit's record line whole, and the fields a report reads beside it.
        QStringLiteral("CREATE TABLE talvex_record ("
                       " run_id uuid NOT NULL,"
                       " unit_key text NOT NULL,"
                       " station text NOT NULL,"
                       " time timestamptz NOT NULL,"
                       " result text NOT NULL,"
                       " reason text,"
                       " serial text,"
                       " usb_serial text,"
                       " board text,"
                       " firmware text,"
                       " sha256 text,"
                       " line jsonb NOT NULL,"
                       " PRIMARY KEY (run_id, unit_key))"),
        QStringLiteral("CREATE INDEX talvex_record_time ON talvex_record (time)"),
        // A station's name is held by an advisory lock of its session; the
        // key is kept apart from other programs' by the prefix.
        QStringLiteral(
            "CREATE FUNCTION talvex_station_lock(station text) RETURNS bigint"
            " LANGUAGE sql IMMUTABLE AS $$ SELECT hashtextextended('talvex station ' || station, 0) $$"),
        // pg_locks shows a lock on a 64-bit key as its two halves.
        QStringLiteral("CREATE FUNCTION talvex_station_running(station text) RETURNS boolean"
                       " LANGUAGE sql STABLE AS $$ SELECT EXISTS (SELECT 1 FROM pg_locks"
                       " WHERE locktype = 'advisory' AND objsubid = 1 AND granted"
                       " AND database = (SELECT oid FROM pg_database WHERE datname = current_database())"
                       " AND classid = ((talvex_station_lock(station) >> 32) & 4294967295)::oid"
                       " AND objid = (talvex_station_lock(station) & 4294967295)::oid) $$"),
        // Whatever a role's grants: a record row, once written, stays as it is.
        QStringLiteral("CREATE FUNCTION talvex_append_only() RETURNS trigger LANGUAGE plpgsql AS"
                       " $$ BEGIN RAISE EXCEPTION 'rows of % are never changed nor deleted', TG_TABLE_NAME"
                       " USING ERRCODE = 'insufficient_privilege'; END $$"),
        QStringLiteral("CREATE TRIGGER talvex_record_append_only BEFORE UPDATE OR DELETE ON talvex_record"
                       " FOR EACH ROW EXECUTE FUNCTION talvex_append_only()"),
        QStringLiteral("CREATE TRIGGER talvex_schema_fixed BEFORE UPDATE OR DELETE ON talvex_schema"
                       " FOR EACH ROW EXECUTE FUNCTION talvex_append_only()"),
        QStringLiteral("INSERT INTO talvex_schema (version) VALUES (1)"),
    };
}
