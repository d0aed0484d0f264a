/*
 * pattern_prevalent_hosts: the hosts that carry most of a pattern's packets.
 *
 * The first call of a scan reads the pattern's hosts on the requested side,
 * highest match first, and chooses how many of them to return with the
 * thresholds of tolvar.percents; every call then returns the next chosen
 * host. The thresholds are cached per backend and read again at most once a
 * minute, so that a query over many patterns does not read them per row.
 */
#include "detect.h"

#include <time.h>

#include "catalog/pg_type.h"
#include "executor/spi.h"
#include "funcapi.h"
#include "utils/datum.h"

PG_MODULE_MAGIC;

PG_FUNCTION_INFO_V1(pattern_prevalent_hosts);

#define THRESHOLDS_TTL_SECONDS 60

/* Every error names the step that failed. */
#define fail(func, what) elog(ERROR, "%s(): %s", (func), (what))
#define fail_spi(func, what, code) \
	elog(ERROR, "%s(): %s; (%s)", (func), (what), SPI_result_code_string(code))

static const char top_hosts_sql[] =
	"SELECT ip.ip, ip.pkts, (ip.pkts * 100.0 / total)::FLOAT AS ip_match "
	"FROM flood.pattern_packets_real($1, $2, $3) AS total, "
	"flood.pattern_ip_packets_real($1, $2, $3) AS ip WHERE side = $4   "
	"AND total IS NOT NULL ORDER BY ip_match DESC, ip";

static const char thresholds_sql[] =
	"SELECT host_count, min_percent FROM tolvar.percents ORDER BY 1 DESC";

static SPIPlanPtr top_hosts_plan = NULL;
static SPIPlanPtr thresholds_plan = NULL;

/* Thresholds outlive every memory context: plain malloc, owned here. */
static ThresholdRow *thresholds = NULL;
static int	nthresholds = 0;
static time_t thresholds_refresh_at = 0;

typedef struct HostSlot
{
	Datum		ip;
	Datum		pkts;
	double		match;
} HostSlot;

/* What the scan returns: the first count slots. */
typedef struct HostScan
{
	HostSlot   *hosts;
	int			count;
} HostScan;

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

static Datum
copy_column(Datum d, TupleDesc desc, int column)
{
	Form_pg_attribute attr = TupleDescAttr(desc, column - 1);

	return datumCopy(d, attr->attbyval, attr->attlen);
}

/*
 * The result record is formed from the packet function's own values, so
 * their types must be the declared ones.
 */
static void
check_host_types(TupleDesc hosts, TupleDesc result)
{
	if (result->natts != 2 ||
		SPI_gettypeid(hosts, 1) != TupleDescAttr(result, 0)->atttypid ||
		SPI_gettypeid(hosts, 2) != TupleDescAttr(result, 1)->atttypid)
		fail("get_top_hosts", "host columns do not match the result type");
}

/* The hosts on one side, highest match first, kept in memory cxt. */
static int
get_top_hosts(FunctionCallInfo fcinfo, TupleDesc result, MemoryContext cxt,
			  HostSlot **hosts)
{
	Oid			argtypes[4] = {INT4OID, INT4OID, INT4OID, CHAROID};
	Datum		args[4];
	char		nulls[4];
	TupleDesc	desc;
	HostSlot   *slots;

	if (top_hosts_plan == NULL)
		top_hosts_plan = make_plan(top_hosts_sql, 4, argtypes);

	for (int i = 0; i < 4; i++)
	{
		args[i] = PG_GETARG_DATUM(i);
		nulls[i] = PG_ARGISNULL(i) ? 'n' : ' ';
	}
	/* -1 is how callers say "no flood". */
	if (nulls[1] == ' ' && DatumGetInt32(args[1]) == -1)
		nulls[1] = 'n';

	if (SPI_execute_plan(top_hosts_plan, args, nulls, true, 0) != SPI_OK_SELECT)
		fail("get_top_hosts", "SPI_execp()");
	if (SPI_processed == 0)
		return 0;
	if (SPI_processed > INT_MAX / sizeof(HostSlot))
		fail("get_top_hosts", "too many hosts");

	desc = SPI_tuptable->tupdesc;
	check_host_types(desc, result);
	slots = MemoryContextAlloc(cxt, SPI_processed * sizeof(HostSlot));
	for (uint64 i = 0; i < SPI_processed; i++)
	{
		HeapTuple	row = SPI_tuptable->vals[i];
		MemoryContext old = MemoryContextSwitchTo(cxt);

		slots[i].ip = copy_column(required_column("get_top_hosts", row, desc, 1,
												  "could not get host ip",
												  "host ip is null"), desc, 1);
		slots[i].pkts = copy_column(required_column("get_top_hosts", row, desc, 2,
													"could not get host packets",
													"host packets is null"), desc, 2);
		MemoryContextSwitchTo(old);
		slots[i].match = DatumGetFloat8(required_column("get_top_hosts", row, desc, 3,
														"could not get host match",
														"host match is null"));
	}
	*hosts = slots;
	return (int) SPI_processed;
}

/*
 * Rereads tolvar.percents when the cached copy is due. The rows are read
 * into SPI memory first, so that an error half-way leaves the cache as it
 * was and leaks nothing.
 */
static void
get_host_percents(void)
{
	time_t		now = time(NULL);
	ThresholdRow *rows;
	ThresholdRow *kept;
	int			nrows;
	TupleDesc	desc;

	if (now < thresholds_refresh_at)
		return;
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

static int
chosen_host_count(const HostSlot *hosts, int n, bool none_when_unmet)
{
	double	   *matches = palloc(n * sizeof(double));
	int			chosen;

	for (int i = 0; i < n; i++)
		matches[i] = hosts[i].match;
	chosen = choose_host_count(matches, n, thresholds, nthresholds, none_when_unmet);
	pfree(matches);
	return chosen;
}

static HostScan *
start_scan(FunctionCallInfo fcinfo, FuncCallContext *funcctx)
{
	const char *func = "pattern_prevalent_hosts";
	TupleDesc	result;
	HostScan  *scan;
	int			rc;
	int			n;

	if (get_call_result_type(fcinfo, NULL, &result) != TYPEFUNC_COMPOSITE)
		fail(func, "function returning record called in context that cannot accept type record");
	funcctx->tuple_desc = BlessTupleDesc(result);

	scan = palloc0(sizeof(HostScan));
	rc = SPI_connect();
	if (rc != SPI_OK_CONNECT)
		fail_spi(func, "SPI_connect()", rc);

	n = get_top_hosts(fcinfo, funcctx->tuple_desc, funcctx->multi_call_memory_ctx,
					  &scan->hosts);
	if (n > 0)
	{
		bool		none_when_unmet = !PG_ARGISNULL(4) && PG_GETARG_BOOL(4);

		get_host_percents();
		scan->count = chosen_host_count(scan->hosts, n, none_when_unmet);
	}

	rc = SPI_finish();
	if (rc != SPI_OK_FINISH)
		fail_spi(func, "SPI_finish()", rc);
	return scan;
}

Datum
pattern_prevalent_hosts(PG_FUNCTION_ARGS)
{
	FuncCallContext *funcctx;
	HostScan  *scan;

	if (SRF_IS_FIRSTCALL())
	{
		MemoryContext old;

		funcctx = SRF_FIRSTCALL_INIT();
		old = MemoryContextSwitchTo(funcctx->multi_call_memory_ctx);
		funcctx->user_fctx = start_scan(fcinfo, funcctx);
		MemoryContextSwitchTo(old);
	}

	funcctx = SRF_PERCALL_SETUP();
	scan = funcctx->user_fctx;
	if (funcctx->call_cntr < (uint64) scan->count)
	{
		const HostSlot *host = &scan->hosts[funcctx->call_cntr];
		Datum		values[2] = {host->ip, host->pkts};
		bool		nulls[2] = {false, false};
		HeapTuple	tuple = heap_form_tuple(funcctx->tuple_desc, values, nulls);

		SRF_RETURN_NEXT(funcctx, HeapTupleGetDatum(tuple));
	}
	SRF_RETURN_DONE(funcctx);
}
