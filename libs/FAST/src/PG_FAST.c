/*
 * pattern_from_strips: the text of a pattern from its strips.
 *
 * One saved plan per backend reads the strips of a pattern in layer order;
 * every offset of a strip becomes one "layer:offset=byte" entry.
 */
#include "pg_fast.h"

#include "catalog/pg_type.h"
#include "executor/spi.h"
#include "utils/array.h"
#include "utils/memutils.h"

PG_MODULE_MAGIC;

PG_FUNCTION_INFO_V1(pattern_from_strips);

#define NO_LIMIT (-1)
/* Only the strips of this layer are cut by the caller's limit. */
#define LIMITED_LAYER "4"

static const char strips_sql[] =
	"SELECT layer, offsets, values \t\t       FROM fast.pat_contents pc \t\t       "
	"JOIN fast.pat_strips ps USING (pat_strip_id) \t\t      WHERE pattern_id = $1 "
	"\t\t    ORDER BY layer";

static SPIPlanPtr strips_plan = NULL;

static const char hex_digits[] = "0123456789abcdef";

void
append_strip_entries(StringInfo out, const char *layer, const int16 *offsets,
					 const uint8 *values, int count)
{
	size_t		layer_len = strlen(layer);
	/* layer, ':', "-32768", '=', two digits, blank */
	size_t		entry_max = layer_len + 11;

	/* Checked before multiplying: a huge strip must not wrap the size. */
	if ((Size) count > (MaxAllocSize - out->len) / entry_max)
		elog(ERROR, "pattern text exceeds %zu bytes", (Size) MaxAllocSize);
	enlargeStringInfo(out, (int) (entry_max * count));
	for (int i = 0; i < count; i++)
	{
		char	   *p = out->data + out->len;
		char		digits[6];
		int			ndigits = 0;
		int			v = offsets[i];
		unsigned int magnitude = v < 0 ? (unsigned int) -v : (unsigned int) v;

		memcpy(p, layer, layer_len);
		p += layer_len;
		*p++ = ':';
		if (v < 0)
			*p++ = '-';
		do
		{
			digits[ndigits++] = (char) ('0' + magnitude % 10);
			magnitude /= 10;
		} while (magnitude != 0);
		while (ndigits > 0)
			*p++ = digits[--ndigits];
		*p++ = '=';
		*p++ = hex_digits[values[i] >> 4];
		*p++ = hex_digits[values[i] & 0x0f];
		*p++ = ' ';
		out->len = (int) (p - out->data);
	}
	out->data[out->len] = '\0';
}

static void
prepare_strips_plan(void)
{
	Oid			argtypes[1] = {INT4OID};
	SPIPlanPtr	plan;

	if (strips_plan != NULL)
		return;
	plan = SPI_prepare(strips_sql, 1, argtypes);
	if (plan == NULL)
		elog(ERROR, "couldn't prepare plan");
	if (SPI_keepplan(plan) != 0)
		elog(ERROR, "couldn't save plan");
	strips_plan = plan;
}

/* The offsets of one strip, checked to be a plain one-dimensional int2[]. */
static ArrayType *
strip_offsets(HeapTuple row, TupleDesc desc)
{
	bool		isnull;
	Datum		d = SPI_getbinval(row, desc, 2, &isnull);
	ArrayType  *offsets;

	if (SPI_result == SPI_ERROR_NOATTRIBUTE || isnull)
		elog(ERROR, "could not get offsets");
	offsets = DatumGetArrayTypeP(d);
	if (ARR_NDIM(offsets) != 1)
		elog(ERROR, "offsets is not a 1-dimention array");
	/* Anything but int2 elements would be read at the wrong width. */
	if (ARR_ELEMTYPE(offsets) != INT2OID)
		elog(ERROR, "offsets is not an array of smallint");
	if (ARR_HASNULL(offsets))
		elog(ERROR, "offsets contains NULL");
	return offsets;
}

static bytea *
strip_values(HeapTuple row, TupleDesc desc)
{
	bool		isnull;
	Datum		d = SPI_getbinval(row, desc, 3, &isnull);

	if (SPI_result == SPI_ERROR_NOATTRIBUTE || isnull)
		elog(ERROR, "could not get values");
	return DatumGetByteaPP(d);
}

static void
append_strip(StringInfo out, HeapTuple row, TupleDesc desc, int limit)
{
	char	   *layer = SPI_getvalue(row, desc, 1);
	ArrayType  *offsets;
	bytea	   *values;
	int			noffsets;
	int			nvalues;
	int			count;

	if (layer == NULL)
		elog(ERROR, "layer is null");
	offsets = strip_offsets(row, desc);
	values = strip_values(row, desc);
	noffsets = ArrayGetNItems(ARR_NDIM(offsets), ARR_DIMS(offsets));
	nvalues = VARSIZE_ANY_EXHDR(values);
	if (noffsets != nvalues)
		elog(ERROR, "different lengths of: offsets: %u, values: %u",
			 (unsigned int) noffsets, (unsigned int) nvalues);

	count = noffsets;
	if (limit != NO_LIMIT && limit < count && strcmp(layer, LIMITED_LAYER) == 0)
		count = limit;
	append_strip_entries(out, layer, (const int16 *) ARR_DATA_PTR(offsets),
						 (const uint8 *) VARDATA_ANY(values), count);
}

Datum
pattern_from_strips(PG_FUNCTION_ARGS)
{
	Datum		args[1];
	int			limit = NO_LIMIT;
	StringInfoData out;
	text	   *result;

	if (PG_ARGISNULL(0))
		elog(ERROR, "pattern_id must not be NULL");
	if (PG_NARGS() > 1 && !PG_ARGISNULL(1))
	{
		limit = PG_GETARG_INT32(1);
		if (limit < 0)
			elog(ERROR, "limit must be >= 0 (%d)", limit);
	}

	if (SPI_connect() != SPI_OK_CONNECT)
		elog(ERROR, "SPI_connect()");
	prepare_strips_plan();

	args[0] = PG_GETARG_DATUM(0);
	if (SPI_execute_plan(strips_plan, args, NULL, true, 0) != SPI_OK_SELECT)
		elog(ERROR, "SPI_execp()");
	if (SPI_processed == 0)
	{
		SPI_finish();
		PG_RETURN_NULL();
	}

	initStringInfo(&out);
	appendStringInfoSpaces(&out, VARHDRSZ);
	for (uint64 i = 0; i < SPI_processed; i++)
		append_strip(&out, SPI_tuptable->vals[i], SPI_tuptable->tupdesc, limit);

	/* Drop the blank after the last entry. */
	if (out.len > VARHDRSZ)
		out.len--;
	/* Copied to the caller's memory so that it outlives SPI_finish. */
	result = (text *) SPI_palloc(out.len);
	memcpy(result, out.data, out.len);
	SET_VARSIZE(result, out.len);
	SPI_finish();
	PG_RETURN_TEXT_P(result);
}
