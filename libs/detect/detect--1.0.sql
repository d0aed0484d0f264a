\echo Use "CREATE EXTENSION detect" to load this file. \quit

-- One prevalent host: the types are those flood.pattern_ip_packets_real
-- gives its ip and pkts columns.
CREATE TYPE flood.prevalent_host AS (ip inet, pkts bigint);

-- Arguments 1 to 3 go unchanged to the flood.pattern_*_real functions (a
-- null or -1 flood_id as NULL); side selects the traffic side; when no threshold of
-- tolvar.percents is met, none_when_unmet chooses between every host
-- (false) and none (true).
CREATE FUNCTION flood.pattern_prevalent_hosts(pattern_id integer, flood_id integer,
                                              integer, side "char",
                                              none_when_unmet boolean)
RETURNS SETOF flood.prevalent_host
AS 'MODULE_PATHNAME', 'pattern_prevalent_hosts'
LANGUAGE C CALLED ON NULL INPUT VOLATILE;
