\echo Use "CREATE EXTENSION fast" to load this file. \quit

-- The limit may be left out: callers that want every entry pass the
-- pattern id alone.
CREATE FUNCTION fast.pattern_from_strips(pattern_id integer, "limit" integer DEFAULT NULL)
RETURNS text
AS 'MODULE_PATHNAME', 'pattern_from_strips'
LANGUAGE C CALLED ON NULL INPUT STABLE PARALLEL UNSAFE;
