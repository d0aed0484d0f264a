/*
 * libFAST: renders an attack pattern, stored as strips of byte values at
 * offsets grouped by protocol layer, as one line of text.
 */
#ifndef PG_FAST_H
#define PG_FAST_H

#include "postgres.h"
#include "fmgr.h"
#include "lib/stringinfo.h"

/* SQL: fast.pattern_from_strips(pattern_id integer, "limit" integer) */
extern PGDLLEXPORT Datum pattern_from_strips(PG_FUNCTION_ARGS);

/*
 * Appends one "<layer>:<offset>=<byte as two hex digits> " entry per offset,
 * the same text snprintf("%s:%hd=%02hhx ") gives, without its per-entry cost.
 */
extern void append_strip_entries(StringInfo out, const char *layer,
								 const int16 *offsets, const uint8 *values,
								 int count);

#endif
