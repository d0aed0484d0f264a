/*
 * pattern_prevalent_hosts: the hosts that carry most of a pattern's packets.
 *
 * Each call reads the pattern's hosts on the requested side, highest match
 * first, chooses how many of them to return with the thresholds of
 * tolvar.percents and returns them as one materialized set. The calls of
 * the packet functions are set up once per query; the thresholds are cached
 * per backend and read again at most once a minute, so that a query over
 * many patterns does not read them per row.
 */
#include "detect.h"

#include <time.h>

#include "executor/spi.h"
#include "funcapi.h"
#include "miscadmin.h"
#include "utils/memutils.h"
#include "utils/tuplestore.h"

PG_MODULE_MAGIC;

PG_FUNCTION_INFO_V1(pattern_prevalent_hosts);

#define THRESHOLDS_TTL_SECONDS 60

/* Every error names the step that failed. */
#define fail(func, what) elog(ERROR, "%s(): %s", (func), (what))
#define fail_spi(func, what, code) \
	elog(ERROR, "%s(): %s; (%s)", (func), (what), SPI_result_code_string(code))

static const char thresholds_sql[] =
	"SELECT host_count, min_percent FROM tolvar.percents ORDER BY 1 DESC";

static SPIPlanPtr thresholds_plan = NULL;

/* Thresholds outlive every memory context: plain malloc, owned here. */
static ThresholdRow *thresholds = NULL;
static int	nthresholds = 0;
static time_t thresholds_refresh_at = 0;

/* What one query of the caller keeps between calls (fn_extra). */
typedef struct HostQuery
{
	TupleDesc	result;
	FloodCalls *calls;
	MemoryContext call_cxt;		/* the hosts of one call */
} HostQuery;

static SPIPlanPtr
make_plan(const char *sql, int nargs, Oid *argtypes)
{
	SPIPlanPtr	plan = SPI_prepare(sql, nargs, argtypes);

	if (plan == NULL)
	{
		if (SPI_result < 0)
			fail_spi(__func__, "SPI_prepare()", SPI_result);
		fail(__func__, "SPI_prepare()");
	}
	if (SPI_keepplan(plan) != 0)
		fail(__func__, "SPI_saveplan()");
	return plan;
}

static Datum
required_column(const char *func, HeapTuple row, TupleDesc desc, int column,
				const char *missing, const char *null)
{
	bool		isnull;
	Datum		d = SPI_getbinval(row, desc, column, &isnull);

	if (SPI_result == SPI_ERROR_NOATTRIBUTE)
		fail(func, missing);
	if (isnull)
		fail(func, null);
	return d;
}

/*
 * Rereads tolvar.percents when the cached copy is due. The rows are read
 * into SPI memory first, so that an error half-way leaves the cache as it
 * was and leaks nothing.
 */
static void
get_host_percents(time_t now)
{
	ThresholdRow *rows;
	ThresholdRow *kept;
	int			nrows;
	TupleDesc	desc;

	if (thresholds_plan == NULL)
		thresholds_plan = make_plan(thresholds_sql, 0, NULL);
	if (SPI_execute_plan(thresholds_plan, NULL, NULL, true, 0) != SPI_OK_SELECT)
		fail(__func__, "SPI_execp()");
	if (SPI_processed == 0)
		fail(__func__, "tolvar.percents contains 0 rows");
	if (SPI_processed > INT_MAX / sizeof(ThresholdRow))
		fail(__func__, "tolvar.percents has too many rows");

	nrows = (int) SPI_processed;
	desc = SPI_tuptable->tupdesc;
	rows = palloc(nrows * sizeof(ThresholdRow));
	for (int i = 0; i < nrows; i++)
	{
		HeapTuple	row = SPI_tuptable->vals[i];

		rows[i].host_count = DatumGetInt32(required_column(__func__, row, desc, 1,
														   "could not get host count",
														   "host count is null"));
		rows[i].min_percent = DatumGetInt32(required_column(__func__, row, desc, 2,
															"could not get host percent",
															"host percent is null"));
	}

	kept = malloc(nrows * sizeof(ThresholdRow));
	if (kept == NULL)
		fail(__func__, "malloc()");
	memcpy(kept, rows, nrows * sizeof(ThresholdRow));
	pfree(rows);
	free(thresholds);
	thresholds = kept;
	nthresholds = nrows;
	thresholds_refresh_at = now + THRESHOLDS_TTL_SECONDS;
}


/* SPI only when the thresholds are due: most calls need no query at all. */
static void
refresh_host_percents(void)
{
	const char *func = "pattern_prevalent_hosts";
	time_t		now = time(NULL);
	int			rc;

	if (now < thresholds_refresh_at)
		return;
	rc = SPI_connect();
	if (rc != SPI_OK_CONNECT)
		fail_spi(func, "SPI_connect()", rc);
	get_host_percents(now);
	rc = SPI_finish();
	if (rc != SPI_OK_FINISH)
		fail_spi(func, "SPI_finish()", rc);
}

/* The state of the caller's query, made on its first call. */
static HostQuery *
host_query(FunctionCallInfo fcinfo)
{
	HostQuery  *query = fcinfo->flinfo->fn_extra;
	MemoryContext old;
	TupleDesc	result;

	if (query != NULL)
		return query;
	old = MemoryContextSwitchTo(fcinfo->flinfo->fn_mcxt);
	if (get_call_result_type(fcinfo, NULL, &result) != TYPEFUNC_COMPOSITE)
		fail("pattern_prevalent_hosts",
			 "function returning record called in context that cannot accept type record");
	query = palloc0(sizeof(HostQuery));
	query->result = BlessTupleDesc(result);
	query->calls = flood_calls_open(query->result);
	query->call_cxt = AllocSetContextCreate(CurrentMemoryContext, "prevalent hosts",
											ALLOCSET_DEFAULT_SIZES);
	MemoryContextSwitchTo(old);
	fcinfo->flinfo->fn_extra = query;
	return query;
}

static ReturnSetInfo *
materialize_context(FunctionCallInfo fcinfo)
{
	ReturnSetInfo *rsinfo = (ReturnSetInfo *) fcinfo->resultinfo;

	if (rsinfo == NULL || !IsA(rsinfo, ReturnSetInfo))
		ereport(ERROR, (errcode(ERRCODE_FEATURE_NOT_SUPPORTED),
						errmsg("set-valued function called in context that cannot accept a set")));
	if (!(rsinfo->allowedModes & SFRM_Materialize))
		ereport(ERROR, (errcode(ERRCODE_FEATURE_NOT_SUPPORTED),
						errmsg("materialize mode required, but it is not allowed in this context")));
	return rsinfo;
}

/* The first count hosts as the call's whole result set. */
static void
return_hosts(ReturnSetInfo *rsinfo, TupleDesc result, const HostSlot *hosts, int count)
{
	MemoryContext old = MemoryContextSwitchTo(rsinfo->econtext->ecxt_per_query_memory);
	bool		random = (rsinfo->allowedModes & SFRM_Materialize_Random) != 0;
	Tuplestorestate *store = tuplestore_begin_heap(random, false, work_mem);

	/* The caller frees the descriptor it is handed. */
	rsinfo->setDesc = CreateTupleDescCopy(result);
	MemoryContextSwitchTo(old);
	for (int i = 0; i < count; i++)
	{
		Datum		values[2] = {hosts[i].ip, hosts[i].pkts};
		bool		nulls[2] = {false, false};

		tuplestore_putvalues(store, result, values, nulls);
	}
	rsinfo->returnMode = SFRM_Materialize;
	rsinfo->setResult = store;
}

static int
chosen_host_count(const HostSlot *hosts, int n, bool none_when_unmet)
{
	double	   *matches = palloc(n * sizeof(double));

	for (int i = 0; i < n; i++)
		matches[i] = hosts[i].match;
	return choose_host_count(matches, n, thresholds, nthresholds, none_when_unmet);
}

Datum
pattern_prevalent_hosts(PG_FUNCTION_ARGS)
{
	ReturnSetInfo *rsinfo = materialize_context(fcinfo);
	HostQuery  *query = host_query(fcinfo);
	MemoryContext old;
	HostSlot   *hosts = NULL;
	int			count = 0;

	MemoryContextReset(query->call_cxt);
	old = MemoryContextSwitchTo(query->call_cxt);
	if (!PG_ARGISNULL(3))
		count = flood_top_hosts(query->calls, fcinfo, PG_GETARG_CHAR(3), &hosts);
	if (count > 0)
	{
		bool		none_when_unmet = !PG_ARGISNULL(4) && PG_GETARG_BOOL(4);

		refresh_host_percents();
		count = chosen_host_count(hosts, count, none_when_unmet);
	}
	MemoryContextSwitchTo(old);
	return_hosts(rsinfo, query->result, hosts, count);
	return (Datum) 0;
}
