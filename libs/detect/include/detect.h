/*
 * libdetect: the hosts that carry most of a pattern's packets on one side
 * of the traffic, cut at the smallest group of top hosts that reaches a
 * configured share of the packets.
 */
#ifndef DETECT_H
#define DETECT_H

#include "postgres.h"
#include "access/tupdesc.h"
#include "fmgr.h"

/* One row of tolvar.percents: that many top hosts must carry min_percent. */
typedef struct ThresholdRow
{
	int64		host_count;
	int32		min_percent;
} ThresholdRow;

/* One host of a pattern on the requested side. */
typedef struct HostSlot
{
	Datum		ip;
	Datum		pkts;
	double		match;			/* share of the pattern's packets, percent */
	bool		ip_null;
	bool		pkts_null;
} HostSlot;

/* The packet functions' calls, set up once per query of the caller. */
typedef struct FloodCalls FloodCalls;

/*
 * Looks the packet functions up and prepares their calls in the current
 * memory context, which must last as long as the caller's query. result is
 * the record type the hosts are returned in.
 */
extern FloodCalls *flood_calls_open(TupleDesc result);

/*
 * The hosts of the pattern that the caller's first three arguments name, on
 * side, highest match first (equal matches by ip), in the current memory
 * context. None when the pattern has no packet total.
 */
extern int	flood_top_hosts(FloodCalls *calls, FunctionCallInfo fcinfo, char side,
							HostSlot **hosts);

/* SQL: flood.pattern_prevalent_hosts(integer, integer, integer, "char", boolean) */
extern PGDLLEXPORT Datum pattern_prevalent_hosts(PG_FUNCTION_ARGS);

/*
 * How many of the n hosts, ordered by their match percentage (highest
 * first), to return. The rows are walked largest host_count first; the first
 * whose min_percent the top min(host_count, n) hosts reach chooses that many.
 * Rows without a positive host_count are skipped. When no row qualifies, all
 * n hosts are chosen, or none when none_when_unmet.
 */
extern int	choose_host_count(const double *matches, int n,
							  const ThresholdRow *rows, int nrows,
							  bool none_when_unmet);

#endif
