/*
 * get_rule_text: the text of a filter rule for a pattern and a target type.
 *
 * Gathers the pattern's text, its top source and destination hosts within
 * a flood (reduced by the thresholds of tolvar.percents when the type wants
 * hosts at all), and hands them to the type's generator: the database
 * function tolvar.filter_<type> when there is one, else the external script.
 */
#include "tolvar.h"

#include "catalog/pg_type.h"
#include "executor/spi.h"
#include "utils/builtins.h"
#include "utils/guc.h"
#include "utils/inet.h"

PG_MODULE_MAGIC;

PG_FUNCTION_INFO_V1(get_rule_text);

#define NO_FLOOD (-1)
#define SIDE_SOURCE "s"
#define SIDE_DESTINATION "d"
#define FUNCTION_PREFIX "filter_"

char	   *tolvar_commands_dir = NULL;

static const char pattern_text_sql[] = "SELECT fast.pattern_from_strips($1)";

static const char top_hosts_sql[] =
	"SELECT ths.side, \t\tSUM(ROUND(ROUND(a.value::INTEGER * ep.matches) * th.matches) / total.pkts)*100 "
	"\t\t\tAS ip_match, \t\tth.ip \t   FROM ( \t       SELECT ep.pattern_id, \t\t      s.flood_id, "
	"\t\t      at.attr_type_id, \t\t      SUM(ROUND(a.value::INTEGER * ep.matches)) AS pkts "
	"\t\t FROM fast.entity_patterns     ep \t\t JOIN flood.samples            s   ON (report_id = ep.entity_id) "
	"\t\t JOIN fast.attrs               a   USING (entity_id) "
	"\t\t JOIN fast.attr_types          at  USING (attr_type_id) "
	"\t\tWHERE ep.pattern_id = $1 \t\t  AND s.flood_id = $2 \t\t  AND at.name = 'Entries' "
	"\t     GROUP BY 1, 2, 3 \t   ) AS total \t   JOIN fast.entity_patterns   ep  USING (pattern_id) "
	"\t   JOIN flood.samples\t       s   ON ((s.flood_id, s.report_id) = \t        (total.flood_id, ep.entity_id)) "
	"\t   JOIN fast.attrs             a   ON ((a.entity_id, a.attr_type_id) = (ep.entity_id,        \t\ttotal.attr_type_id)) "
	"\t   JOIN fast.top_host_sets     ths ON ((ths.entity_id, ths.pattern_id) = (s.top_hosts_id, ep.pattern_id)) "
	"\t   JOIN fast.top_hosts         th  USING (ths_id)        GROUP BY side, ip        ORDER BY side DESC, ip_match DESC";

static const char type_settings_sql[] = "SELECT process FROM tolvar.types WHERE name = $1";

static const char thresholds_sql[] =
	"SELECT host_count, min_percent FROM tolvar.percents \t\t\tORDER BY host_count DESC";

static const char pgfunc_sql[] =
	"SELECT count(*) FROM pg_proc, pg_namespace \t\tWHERE proname = $1 "
	"\t\tAND pg_namespace.oid = pronamespace \t\tAND pg_namespace.nspname = 'tolvar'";

static SPIPlanPtr pattern_text_plan = NULL;
static SPIPlanPtr top_hosts_plan = NULL;
static SPIPlanPtr pgfunc_plan = NULL;

void		_PG_init(void);

void
_PG_init(void)
{
	/* Superusers only: it decides which programs the server runs. */
	DefineCustomStringVariable("tolvar.commands_dir",
							   "Folder of the external rule generator scripts.",
							   NULL, &tolvar_commands_dir,
							   "/opt/velto/bin/tolvar/commands",
							   PGC_SUSET, 0, NULL, NULL, NULL);
	MarkGUCPrefixReserved("tolvar");
}

static char *
dup_pgtext(text *t)
{
	return text_to_cstring(t);
}

static SPIPlanPtr
kept_plan(SPIPlanPtr *plan, const char *sql, int nargs, Oid *argtypes)
{
	SPIPlanPtr	prepared;

	if (*plan != NULL)
		return *plan;
	prepared = SPI_prepare(sql, nargs, argtypes);
	if (prepared == NULL)
		elog(ERROR, "could not prepare plan: %s", sql);
	if (SPI_keepplan(prepared) != 0)
		elog(ERROR, "could not save plan: %s", sql);
	*plan = prepared;
	return prepared;
}

/* Column 1 of the only row, or NULL when there is none or it is null. */
static bool
first_value(Datum *value)
{
	bool		isnull = true;

	if (SPI_processed > 0 && SPI_tuptable->tupdesc->natts >= 1)
		*value = SPI_getbinval(SPI_tuptable->vals[0], SPI_tuptable->tupdesc, 1, &isnull);
	return !isnull;
}

static text *
get_pattern_text(int32 pattern_id)
{
	Oid			argtypes[1] = {INT4OID};
	Datum		args[1] = {Int32GetDatum(pattern_id)};
	SPIPlanPtr	plan = kept_plan(&pattern_text_plan, pattern_text_sql, 1, argtypes);
	int			rc;
	Datum		pattern;

	elog(DEBUG1, "sql: %s, %d", pattern_text_sql, pattern_id);
	rc = SPI_execute_plan(plan, args, NULL, true, 0);
	if (rc < 0)
		elog(ERROR, "SPI_execute_plan() => %d (getting pattern text)", rc);
	if (!first_value(&pattern))
		elog(ERROR, "could not get pattern text: %d", pattern_id);
	return DatumGetTextPP(pattern);
}

/* The match of a host, whatever numeric type the tables give it. */
static double
host_match(HeapTuple row, TupleDesc desc)
{
	bool		isnull;
	Datum		d = SPI_getbinval(row, desc, 2, &isnull);

	if (SPI_result == SPI_ERROR_NOATTRIBUTE || isnull)
		return -1;
	if (SPI_gettypeid(desc, 2) == FLOAT8OID)
		return DatumGetFloat8(d);
	return strtod(SPI_getvalue(row, desc, 2), NULL);
}

/* NULL, with the reason in *error, when the row is unusable. */
static HostList *
host_side(HeapTuple row, TupleDesc desc, HostList *sources, HostList *destinations,
		  char **error)
{
	char	   *side = SPI_getvalue(row, desc, 1);

	if (side == NULL)
		*error = "could not get top host side";
	else if (strcmp(side, SIDE_SOURCE) == 0)
		return sources;
	else if (strcmp(side, SIDE_DESTINATION) == 0)
		return destinations;
	else
		*error = psprintf("Unknown side: %s", side);
	return NULL;
}

static void
get_top_hosts(int32 flood_id, int32 pattern_id, HostList *sources, HostList *destinations)
{
	Oid			argtypes[2] = {INT4OID, INT4OID};
	Datum		args[2] = {Int32GetDatum(pattern_id), Int32GetDatum(flood_id)};
	SPIPlanPtr	plan;
	TupleDesc	desc;

	elog(DEBUG2, "get_top_hosts: flood_id %d,pattern_id %d ", flood_id, pattern_id);
	if (top_hosts_plan == NULL)
		elog(DEBUG2, "preparing sql: %s", top_hosts_sql);
	plan = kept_plan(&top_hosts_plan, top_hosts_sql, 2, argtypes);
	if (SPI_execute_plan(plan, args, NULL, true, 0) != SPI_OK_SELECT)
		elog(ERROR, "SPI_execp() failed (%s)", "get_top_hosts");
	elog(DEBUG2, "executed SPI_execp() => %lu", (unsigned long) SPI_processed);
	elog(DEBUG2, "processing IPs");

	desc = SPI_tuptable->tupdesc;
	for (uint64 i = 0; i < SPI_processed; i++)
	{
		HeapTuple	row = SPI_tuptable->vals[i];
		char	   *error = NULL;
		HostList   *list = host_side(row, desc, sources, destinations, &error);
		char	   *addr_text;
		double		match;

		if (list == NULL)
			elog(ERROR, "%s", error);
		addr_text = SPI_getvalue(row, desc, 3);
		if (addr_text == NULL)
			elog(ERROR, "could not get top host ips");
		match = host_match(row, desc);
		if (match < 0)
			elog(ERROR, "could not get top host match");
		host_list_append(list, DirectFunctionCall1(inet_in, CStringGetDatum(addr_text)),
						 addr_text, match);
	}
}

/* Whether the type wants host lists at all; its settings must exist. */
static bool
type_uses_hosts(const char *type_name)
{
	Oid			argtypes[1] = {TEXTOID};
	Datum		args[1] = {CStringGetTextDatum(type_name)};
	SPIPlanPtr	plan;
	bool		isnull = true;
	char	   *process = NULL;

	elog(DEBUG2, "need_processing %s", type_name);
	plan = SPI_prepare(type_settings_sql, 1, argtypes);
	if (plan == NULL)
		elog(ERROR, "could not prepare plan: %s", type_settings_sql);
	elog(DEBUG1, "sql: %s", type_settings_sql);
	if (SPI_execute_plan(plan, args, NULL, true, 0) < 0)
		elog(ERROR, "SPI_execute_plan() failed (%s)", "need_processing");
	if (SPI_processed > 0)
	{
		SPI_getbinval(SPI_tuptable->vals[0], SPI_tuptable->tupdesc, 1, &isnull);
		if (!isnull)
			process = SPI_getvalue(SPI_tuptable->vals[0], SPI_tuptable->tupdesc, 1);
	}
	if (process == NULL)
		elog(ERROR, "no configuration for type: %s", type_name);
	SPI_freeplan(plan);
	return strcmp(process, "t") == 0;
}

static int32
threshold_column(HeapTuple row, TupleDesc desc, int column, const char *missing)
{
	bool		isnull;
	Datum		d = SPI_getbinval(row, desc, column, &isnull);

	if (SPI_result == SPI_ERROR_NOATTRIBUTE || isnull)
		elog(ERROR, "%s", missing);
	return DatumGetInt32(d);
}

/*
 * Cuts each list to the top hosts of the first threshold row (largest
 * host_count first) that they reach; a list that reaches none is emptied.
 */
static void
reduce_hosts(HostList *sources, HostList *destinations)
{
	HostList   *lists[2] = {sources, destinations};
	bool		settled[2] = {false, false};
	TupleDesc	desc;

	elog(DEBUG2, "reduce number of top hosts");
	if (SPI_execute(thresholds_sql, true, 0) != SPI_OK_SELECT)
		elog(ERROR, "could not SPI_exec(): %s", thresholds_sql);
	desc = SPI_tuptable->tupdesc;
	for (uint64 r = 0; r < SPI_processed && !(settled[0] && settled[1]); r++)
	{
		HeapTuple	row = SPI_tuptable->vals[r];
		int32		host_count = threshold_column(row, desc, 1, "could not get host_cound");
		int32		min_percent = threshold_column(row, desc, 2, "could not get min_percent");

		for (int l = 0; l < 2; l++)
		{
			if (settled[l] || !hosts_match(lists[l], host_count, min_percent))
				continue;
			host_list_cut(lists[l], host_count);
			settled[l] = true;
		}
	}
	for (int l = 0; l < 2; l++)
		if (!settled[l])
			lists[l]->count = 0;
}

static void
need_processing(const char *type_name, HostList *sources, HostList *destinations)
{
	if (sources->count == 0 && destinations->count == 0)
		return;
	if (!type_uses_hosts(type_name))
	{
		sources->count = 0;
		destinations->count = 0;
		return;
	}
	reduce_hosts(sources, destinations);
}

static bool
is_pgfunc(const char *type_name)
{
	Oid			argtypes[1] = {NAMEOID};
	NameData   *fname = palloc0(sizeof(NameData));
	Datum		args[1] = {NameGetDatum(fname)};
	char	   *count;

	if (snprintf(NameStr(*fname), NAMEDATALEN, FUNCTION_PREFIX "%s", type_name) >= NAMEDATALEN)
		elog(ERROR, "snprintf() (%s)", "is_pgfunc");
	if (pgfunc_plan == NULL)
	{
		SPIPlanPtr	plan = SPI_prepare(pgfunc_sql, 1, argtypes);

		if (plan == NULL)
			elog(ERROR, "couldn't prepare plan (%s)", "is_pgfunc");
		if (SPI_keepplan(plan) != 0)
			elog(ERROR, "couldn't save plan (%s)", "is_pgfunc");
		pgfunc_plan = plan;
	}
	if (SPI_execute_plan(pgfunc_plan, args, NULL, true, 0) != SPI_OK_SELECT)
		elog(ERROR, "SPI_execute_plan() (%s)", "is_pgfunc");
	count = SPI_processed > 0 ? SPI_getvalue(SPI_tuptable->vals[0], SPI_tuptable->tupdesc, 1) : NULL;
	if (count == NULL)
		elog(ERROR, "could not get value (%s)", "is_pgfunc");
	return strtol(count, NULL, 10) != 0;
}

static text *
run_pgfunc(const char *type_name, text *pattern, const HostList *sources,
		   const HostList *destinations)
{
	Oid			argtypes[3] = {BYTEAOID, INETARRAYOID, INETARRAYOID};
	Datum		args[3];
	/* Quoted where needed, so that a "-" in the type name stays in the name. */
	char	   *sql = psprintf("SELECT * FROM %s($1, $2, $3)",
							   quote_qualified_identifier("tolvar",
														  psprintf(FUNCTION_PREFIX "%s", type_name)));
	SPIPlanPtr	plan;
	Datum		rule;
	text	   *rule_text;
	text	   *result;

	elog(DEBUG2, "preparing sql: %s", sql);
	plan = SPI_prepare(sql, 3, argtypes);
	if (plan == NULL)
		elog(ERROR, "could not prepare sql: %s", sql);
	args[0] = PointerGetDatum(pattern);
	args[1] = host_list_array(sources);
	args[2] = host_list_array(destinations);
	if (SPI_execute_plan(plan, args, NULL, true, 0) != SPI_OK_SELECT)
		elog(ERROR, "SPI_execute_plan() (%s)", "get_rule_text");
	/* Anything but a variable-length value would be misread as text. */
	if (!first_value(&rule) || TupleDescAttr(SPI_tuptable->tupdesc, 0)->attlen != -1)
		elog(ERROR, "could not get function result");
	rule_text = DatumGetTextPP(rule);
	result = (text *) SPI_palloc(VARHDRSZ + VARSIZE_ANY_EXHDR(rule_text));
	SET_VARSIZE(result, VARHDRSZ + VARSIZE_ANY_EXHDR(rule_text));
	memcpy(VARDATA(result), VARDATA_ANY(rule_text), VARSIZE_ANY_EXHDR(rule_text));
	SPI_freeplan(plan);
	return result;
}

static void
strip_trailing_line_feeds(text *t)
{
	Size		len = VARSIZE(t) - VARHDRSZ;

	while (len > 0 && VARDATA(t)[len - 1] == '\n')
		len--;
	SET_VARSIZE(t, VARHDRSZ + len);
}

Datum
get_rule_text(PG_FUNCTION_ARGS)
{
	int32		flood_id;
	int32		pattern_id;
	char	   *type_name;
	text	   *pattern;
	HostList	sources = {0};
	HostList	destinations = {0};
	text	   *result;

	if (PG_ARGISNULL(0))
		elog(ERROR, "target_name must not be NULL");
	if (PG_ARGISNULL(2))
		elog(ERROR, "pattern_id must not be NULL");
	flood_id = PG_ARGISNULL(1) ? NO_FLOOD : PG_GETARG_INT32(1);
	pattern_id = PG_GETARG_INT32(2);
	type_name = dup_pgtext(PG_GETARG_TEXT_PP(0));
	/* It names a function and a script: nothing else may get through. */
	if (!valid_target_name(type_name))
		elog(ERROR, "invalid target name: %s", type_name);

	if (SPI_connect() != SPI_OK_CONNECT)
		elog(ERROR, "SPI_connect() error");
	elog(DEBUG2, "get_rule_text begin: target_name- %s; flood_id - %d; pattern_id - %d ",
		 type_name, flood_id, pattern_id);

	pattern = get_pattern_text(pattern_id);
	if (flood_id != NO_FLOOD)
	{
		get_top_hosts(flood_id, pattern_id, &sources, &destinations);
		need_processing(type_name, &sources, &destinations);
	}

	if (is_pgfunc(type_name))
		result = run_pgfunc(type_name, pattern, &sources, &destinations);
	else
		result = run_external(type_name, pattern_id, &sources, &destinations,
							  text_to_cstring(pattern));

	elog(DEBUG2, "SPI_finish()");
	SPI_finish();
	strip_trailing_line_feeds(result);
	PG_RETURN_TEXT_P(result);
}
