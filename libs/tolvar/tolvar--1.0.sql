\echo Use "CREATE EXTENSION tolvar" to load this file. \quit

-- A null flood_id means no flood: the rule then names no hosts. The
-- generator is tolvar.filter_<target_name>(pattern bytea, sources inet[],
-- destinations inet[]) when it exists, else the script <target_name> in the
-- folder of the tolvar.commands_dir setting.
CREATE FUNCTION tolvar.get_rule_text(target_name text, flood_id integer, pattern_id integer)
RETURNS text
AS 'MODULE_PATHNAME', 'get_rule_text'
LANGUAGE C CALLED ON NULL INPUT VOLATILE;
