/*
 * Calls of the database's packet functions, flood.pattern_packets_real and
 * flood.pattern_ip_packets_real, through the executor's function machinery.
 *
 * A query of its own per pattern cost an executor start and end, a plan
 * check and a sort on every call, more than a third of the function's time;
 * the two calls are now set up once per query of the caller and evaluated
 * directly. They stay ordinary calls: permissions, strictness, the
 * functions' own languages and their errors are the executor's.
 */
#include "detect.h"

#include "catalog/pg_type.h"
#include "executor/executor.h"
#include "funcapi.h"
#include "nodes/makefuncs.h"
#include "parser/parse_func.h"
#include "utils/builtins.h"
#include "utils/datum.h"
#include "utils/lsyscache.h"
#include "utils/sortsupport.h"
#include "utils/typcache.h"

/* pattern_id, flood_id and the third argument, all integer. */
#define PACKET_NARGS 3

struct FloodCalls
{
	ExprContext *econtext;
	ParamListInfo params;
	ExprState  *total;
	Oid			total_type;
	SetExprState *hosts;
	TupleDesc	hosts_desc;
	TupleTableSlot *slot;
	MemoryContext args_cxt;
	AttrNumber	ip_col;
	AttrNumber	pkts_col;
	AttrNumber	side_col;
	bool		ip_byval;
	int16		ip_len;
	/* The share is (pkts * 100.0 / total)::float, in numeric as SQL does. */
	Datum		hundred;
	SortSupportData ip_order;
};

static Oid
packet_function(const char *name)
{
	Oid			argtypes[PACKET_NARGS] = {INT4OID, INT4OID, INT4OID};
	List	   *qualified = list_make2(makeString("flood"), makeString(pstrdup(name)));

	return LookupFuncName(qualified, PACKET_NARGS, argtypes, false);
}

/* funcid($1, $2, $3), the parameters read from the calls' list. */
static Expr *
packet_call(Oid funcid)
{
	List	   *args = NIL;
	FuncExpr   *call;

	for (int i = 1; i <= PACKET_NARGS; i++)
	{
		Param	   *arg = makeNode(Param);

		arg->paramkind = PARAM_EXTERN;
		arg->paramid = i;
		arg->paramtype = INT4OID;
		arg->paramtypmod = -1;
		arg->paramcollid = InvalidOid;
		arg->location = -1;
		args = lappend(args, arg);
	}
	call = makeFuncExpr(funcid, get_func_rettype(funcid), args, InvalidOid, InvalidOid,
						COERCE_EXPLICIT_CALL);
	call->funcretset = get_func_retset(funcid);
	return (Expr *) call;
}

static AttrNumber
host_column(TupleDesc desc, const char *name)
{
	for (int i = 0; i < desc->natts; i++)
	{
		Form_pg_attribute attr = TupleDescAttr(desc, i);

		if (!attr->attisdropped && strcmp(NameStr(attr->attname), name) == 0)
			return (AttrNumber) (i + 1);
	}
	ereport(ERROR, (errcode(ERRCODE_UNDEFINED_COLUMN),
					errmsg("column ip.%s does not exist", name)));
	return InvalidAttrNumber;
}

/*
 * The result record is formed from the packet function's own values, so
 * their types must be the declared ones; the side is compared as "char".
 */
static void
find_host_columns(FloodCalls *calls, TupleDesc result)
{
	TupleDesc	desc = calls->hosts_desc;
	Form_pg_attribute ip;

	calls->ip_col = host_column(desc, "ip");
	calls->pkts_col = host_column(desc, "pkts");
	calls->side_col = host_column(desc, "side");
	ip = TupleDescAttr(desc, calls->ip_col - 1);
	if (result->natts != 2 || ip->atttypid != TupleDescAttr(result, 0)->atttypid ||
		TupleDescAttr(desc, calls->pkts_col - 1)->atttypid != TupleDescAttr(result, 1)->atttypid)
		elog(ERROR, "get_top_hosts(): host columns do not match the result type");
	if (TupleDescAttr(desc, calls->side_col - 1)->atttypid != CHAROID)
		elog(ERROR, "get_top_hosts(): host side is not \"char\"");
	calls->ip_byval = ip->attbyval;
	calls->ip_len = ip->attlen;
}

/* Equal shares go by ip, in the type's default order, as ORDER BY ip. */
static void
prepare_ip_order(FloodCalls *calls)
{
	Form_pg_attribute ip = TupleDescAttr(calls->hosts_desc, calls->ip_col - 1);
	TypeCacheEntry *type = lookup_type_cache(ip->atttypid, TYPECACHE_LT_OPR);

	if (!OidIsValid(type->lt_opr))
		ereport(ERROR, (errcode(ERRCODE_UNDEFINED_FUNCTION),
						errmsg("could not identify an ordering operator for type %s",
							   format_type_be(ip->atttypid))));
	calls->ip_order.ssup_cxt = CurrentMemoryContext;
	calls->ip_order.ssup_collation = ip->attcollation;
	calls->ip_order.ssup_nulls_first = false;
	calls->ip_order.abbreviate = false;
	PrepareSortSupportFromOrderingOp(type->lt_opr, &calls->ip_order);
}

FloodCalls *
flood_calls_open(TupleDesc result)
{
	FloodCalls *calls = palloc0(sizeof(FloodCalls));
	Oid			total_fn = packet_function("pattern_packets_real");
	Expr	   *hosts_call = packet_call(packet_function("pattern_ip_packets_real"));

	calls->total_type = get_func_rettype(total_fn);
	if (calls->total_type != INT8OID && calls->total_type != NUMERICOID)
		elog(ERROR, "get_top_hosts(): packet total is neither bigint nor numeric");
	if (get_expr_result_type((Node *) hosts_call, NULL, &calls->hosts_desc) != TYPEFUNC_COMPOSITE)
		elog(ERROR, "get_top_hosts(): host packets are not rows");
	find_host_columns(calls, result);
	prepare_ip_order(calls);

	calls->econtext = CreateStandaloneExprContext();
	calls->params = makeParamList(PACKET_NARGS);
	calls->econtext->ecxt_param_list_info = calls->params;
	calls->total = ExecInitExpr(packet_call(total_fn), NULL);
	calls->hosts = ExecInitTableFunctionResult(hosts_call, calls->econtext, NULL);
	calls->slot = MakeSingleTupleTableSlot(calls->hosts_desc, &TTSOpsMinimalTuple);
	calls->args_cxt = AllocSetContextCreate(CurrentMemoryContext, "flood call arguments",
											ALLOCSET_SMALL_SIZES);
	calls->hundred = DirectFunctionCall3(numeric_in, CStringGetDatum("100.0"),
										 ObjectIdGetDatum(InvalidOid), Int32GetDatum(-1));
	return calls;
}

/* The share of the packets in percent, exactly as the SQL expression. */
static double
host_match(const FloodCalls *calls, Datum pkts, Datum total)
{
	Datum		scaled = DirectFunctionCall2(numeric_mul, DirectFunctionCall1(int8_numeric, pkts),
											 calls->hundred);

	return DatumGetFloat8(DirectFunctionCall1(numeric_float8,
											  DirectFunctionCall2(numeric_div, scaled, total)));
}

/* The pattern's packet total as a numeric in the caller's memory, or null. */
static bool
packet_total(FloodCalls *calls, Datum *total)
{
	bool		isnull;
	Datum		value = ExecEvalExprSwitchContext(calls->total, calls->econtext, &isnull);

	if (!isnull)
		*total = calls->total_type == NUMERICOID ? datumCopy(value, false, -1)
			: DirectFunctionCall1(int8_numeric, value);
	ResetExprContext(calls->econtext);
	return !isnull;
}

/*
 * Rows with a null ip or null packets make the call fail, with the message
 * of the first such row in the order of the results, where a null share
 * (null packets) comes first.
 */
static void
check_host_nulls(const HostSlot *hosts, int n)
{
	bool		null_ip = false;

	for (int i = 0; i < n; i++)
	{
		if (hosts[i].pkts_null && !hosts[i].ip_null)
			elog(ERROR, "get_top_hosts(): host packets is null");
		null_ip |= hosts[i].ip_null;
	}
	if (null_ip)
		elog(ERROR, "get_top_hosts(): host ip is null");
}

static void
read_host(const FloodCalls *calls, Datum total, HostSlot *host)
{
	TupleTableSlot *slot = calls->slot;
	Datum		ip = slot_getattr(slot, calls->ip_col, &host->ip_null);

	host->pkts = slot_getattr(slot, calls->pkts_col, &host->pkts_null);
	host->ip = host->ip_null ? (Datum) 0 : datumCopy(ip, calls->ip_byval, calls->ip_len);
	host->match = host->pkts_null ? 0 : host_match(calls, host->pkts, total);
}

/* The rows of side from the set in store, in the caller's memory. */
static int
read_hosts(const FloodCalls *calls, Tuplestorestate *store, char side, Datum total,
		   HostSlot **hosts)
{
	int			n = 0;
	int			size = 16;
	HostSlot   *slots = palloc(size * sizeof(HostSlot));

	while (tuplestore_gettupleslot(store, true, false, calls->slot))
	{
		bool		isnull;
		Datum		row_side = slot_getattr(calls->slot, calls->side_col, &isnull);

		if (isnull || DatumGetChar(row_side) != side)
			continue;
		if (n == size)
		{
			if (size > INT_MAX / 2 / (int) sizeof(HostSlot))
				elog(ERROR, "get_top_hosts(): too many hosts");
			size *= 2;
			slots = repalloc(slots, size * sizeof(HostSlot));
		}
		read_host(calls, total, &slots[n++]);
	}
	ExecClearTuple(calls->slot);
	check_host_nulls(slots, n);
	*hosts = slots;
	return n;
}

static int
compare_hosts(const void *a, const void *b, void *order)
{
	const HostSlot *x = a;
	const HostSlot *y = b;

	if (x->match != y->match)
		return x->match > y->match ? -1 : 1;
	return ApplySortComparator(x->ip, false, y->ip, false, (SortSupport) order);
}

/* Arguments 0 to 2 of the caller go to the packet functions; -1 as flood is null. */
static void
set_packet_args(FloodCalls *calls, FunctionCallInfo fcinfo)
{
	for (int i = 0; i < PACKET_NARGS; i++)
	{
		ParamExternData *arg = &calls->params->params[i];

		arg->value = PG_GETARG_DATUM(i);
		arg->isnull = PG_ARGISNULL(i);
		arg->pflags = PARAM_FLAG_CONST;
		arg->ptype = INT4OID;
	}
	if (!calls->params->params[1].isnull && DatumGetInt32(calls->params->params[1].value) == -1)
		calls->params->params[1].isnull = true;
}

int
flood_top_hosts(FloodCalls *calls, FunctionCallInfo fcinfo, char side, HostSlot **hosts)
{
	Datum		total = (Datum) 0;
	Tuplestorestate *store;
	int			n;

	set_packet_args(calls, fcinfo);
	if (!packet_total(calls, &total))
		return 0;
	store = ExecMakeTableFunctionResult(calls->hosts, calls->econtext, calls->args_cxt,
										calls->hosts_desc, false);
	MemoryContextReset(calls->args_cxt);
	n = read_hosts(calls, store, side, total, hosts);
	tuplestore_end(store);
	qsort_arg(*hosts, n, sizeof(HostSlot), compare_hosts, &calls->ip_order);
	return n;
}
