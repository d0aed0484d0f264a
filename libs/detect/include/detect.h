/*
 * libdetect: the hosts that carry most of a pattern's packets on one side
 * of the traffic, cut at the smallest group of top hosts that reaches a
 * configured share of the packets.
 */
#ifndef DETECT_H
#define DETECT_H

#include "postgres.h"
#include "fmgr.h"

/* One row of tolvar.percents: that many top hosts must carry min_percent. */
typedef struct ThresholdRow
{
	int64		host_count;
	int32		min_percent;
} ThresholdRow;

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
