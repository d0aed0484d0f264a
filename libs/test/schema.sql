-- The database objects the extensions read, as the appliance's database
-- has them, with small fixtures for the tests.
CREATE SCHEMA fast;
CREATE SCHEMA flood;
CREATE SCHEMA tolvar;

-- Patterns as strips.
CREATE TABLE fast.pat_strips (pattern_id integer, pat_strip_id integer);
CREATE TABLE fast.pat_contents (pat_strip_id integer, layer text, offsets smallint[], "values" bytea);

-- Packets per host of a pattern within a flood.
CREATE TABLE flood.ip_packets (pattern_id integer, flood_id integer, ip inet, pkts bigint, side "char");
CREATE FUNCTION flood.pattern_packets_real(integer, integer, integer) RETURNS bigint
LANGUAGE sql STABLE AS $$
  SELECT sum(pkts)::bigint FROM flood.ip_packets
   WHERE pattern_id = $1 AND flood_id IS NOT DISTINCT FROM $2
$$;
CREATE FUNCTION flood.pattern_ip_packets_real(integer, integer, integer)
RETURNS TABLE (ip inet, pkts bigint, side "char")
LANGUAGE sql STABLE AS $$
  SELECT ip, pkts, side FROM flood.ip_packets
   WHERE pattern_id = $1 AND flood_id IS NOT DISTINCT FROM $2
$$;

-- Top hosts of the samples of a flood.
CREATE TABLE fast.entity_patterns (entity_id integer, pattern_id integer, matches double precision);
CREATE TABLE flood.samples (report_id integer, flood_id integer, top_hosts_id integer);
CREATE TABLE fast.attr_types (attr_type_id integer, name text);
CREATE TABLE fast.attrs (entity_id integer, attr_type_id integer, value text);
CREATE TABLE fast.top_host_sets (ths_id integer, entity_id integer, pattern_id integer, side text);
CREATE TABLE fast.top_hosts (ths_id integer, ip inet, matches double precision);

CREATE TABLE tolvar.percents (host_count integer, min_percent integer);
CREATE TABLE tolvar.types (name text, process boolean);

CREATE EXTENSION fast;
CREATE EXTENSION detect;
CREATE EXTENSION tolvar;

-- Strips: pattern 1 layer 3; 2 layer 4; 3 layer 40; 4 none; 5 lengths
-- differ; 6 long; 7 the rule tests' pattern; 8 two layer-4 strips after a
-- layer-3 one; 9 extreme offsets; 10 a 2-dimensional offsets array.
INSERT INTO fast.pat_strips VALUES (1, 1), (2, 2), (3, 3), (5, 5), (6, 6), (7, 7),
  (8, 81), (8, 82), (8, 83), (9, 9), (10, 10);
INSERT INTO fast.pat_contents VALUES
  (1, '3', '{0,-2}', '\x0aff'),
  (2, '4', '{0,-2}', '\x0aff'),
  (3, '40', '{0,-2}', '\x0aff'),
  (5, '3', '{1,2}', '\x01'),
  (6, '3', (SELECT array_agg(i::smallint ORDER BY i) FROM generate_series(1, 200) i),
           (SELECT string_agg(decode(lpad(to_hex(i % 256), 2, '0'), 'hex'), '' ORDER BY i)
              FROM generate_series(1, 200) i)),
  (7, '3', '{0,-2}', '\x0aff'),
  (81, '4', '{1,2}', '\x0102'),
  (82, '3', '{5}', '\x05'),
  (83, '4', '{3,4}', '\x0304'),
  (9, '3', '{-32768,32767,0}', '\x007f80'),
  (10, '3', '{{1,2},{3,4}}', '\x01020304');

-- Hosts per side. Pattern 10: sources 50, 30, 20. Pattern 11: sources 30,
-- 30, 10 and a destination 30. Pattern 12: sources without a flood.
INSERT INTO flood.ip_packets VALUES
  (10, 1, '10.0.0.1', 50, 's'), (10, 1, '10.0.0.2', 30, 's'), (10, 1, '10.0.0.3', 20, 's'),
  (11, 1, '10.0.0.2', 30, 's'), (11, 1, '10.0.0.1', 30, 's'), (11, 1, '10.0.0.3', 10, 's'),
  (11, 1, '10.9.0.1', 30, 'd'),
  (12, NULL, '10.0.0.5', 60, 's'), (12, NULL, '10.0.0.6', 40, 's');

-- Pattern 7 in flood 3: sources 60, 30, 10, destinations 20, 20. Pattern 8
-- in flood 3: a host on an unknown side.
INSERT INTO fast.attr_types VALUES (1, 'Entries');
INSERT INTO fast.entity_patterns VALUES (1, 7, 1.0), (2, 8, 1.0);
INSERT INTO flood.samples VALUES (1, 3, 50), (2, 3, 60);
INSERT INTO fast.attrs VALUES (1, 1, '100'), (2, 1, '100');
INSERT INTO fast.top_host_sets VALUES (500, 50, 7, 's'), (501, 50, 7, 'd'), (600, 60, 8, 'z');
INSERT INTO fast.top_hosts VALUES
  (500, '10.0.0.1', 0.6), (500, '10.0.0.2', 0.3), (500, '10.0.0.3', 0.1),
  (501, '10.1.0.1', 0.2), (501, '10.1.0.2', 0.2), (600, '10.2.0.1', 1.0);

INSERT INTO tolvar.types VALUES ('x', true), ('f', false), ('db', true), ('a-b', true);
INSERT INTO tolvar.percents VALUES (2, 80), (1, 50);

-- Database generators: the second one's name needs quoting.
CREATE FUNCTION tolvar.filter_db(pattern bytea, sources inet[], destinations inet[])
RETURNS text LANGUAGE sql AS $$
  SELECT format('pattern=%s src=%s dst=%s', convert_from(pattern, 'UTF8'), sources, destinations)
         || E'\n\n'
$$;
CREATE FUNCTION tolvar."filter_a-b"(bytea, inet[], inet[])
RETURNS text LANGUAGE sql AS $$ SELECT 'quoted ' || cardinality($2) $$;

CREATE ROLE plain_user LOGIN;
