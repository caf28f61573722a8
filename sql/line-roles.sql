-- The roles of a line database, each with no more than it needs. Run once,
-- as a superuser, connected to the line's database:
--   psql -v ON_ERROR_STOP=1 -d talvex_line -f sql/line-roles.sql
-- then give each role its password (\password talvex_owner, \password
-- talvex_station) and connect once as talvex_owner, which makes the tables.

-- Owns the tables: makes them on its first connection, and may change them.
CREATE ROLE talvex_owner LOGIN;
-- What every station and operator connects as.
CREATE ROLE talvex_station LOGIN;

CREATE SCHEMA talvex AUTHORIZATION talvex_owner;
REVOKE ALL ON SCHEMA talvex FROM PUBLIC;
GRANT USAGE ON SCHEMA talvex TO talvex_station;
ALTER ROLE talvex_owner SET search_path = talvex;
ALTER ROLE talvex_station SET search_path = talvex;

-- On every table the owner makes: a station reads, adds rows and changes
-- the range's next number and the serials' states; it deletes nothing. The
-- record's rows are never changed by anyone: a trigger of the tables
-- refuses that, whatever the grants.
ALTER DEFAULT PRIVILEGES FOR ROLE talvex_owner IN SCHEMA talvex
    GRANT SELECT, INSERT, UPDATE ON TABLES TO talvex_station;
