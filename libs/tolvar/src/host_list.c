/*
 * Host lists of one traffic side and their forms for the generators.
 */
#include "tolvar.h"

#include "catalog/pg_type.h"
#include "utils/array.h"
#include "utils/lsyscache.h"

#define HOST_LIST_INITIAL 4

void
host_list_append(HostList *list, Datum addr, char *text, double match)
{
	if (list->hosts == NULL)
	{
		list->capacity = HOST_LIST_INITIAL;
		list->hosts = palloc(list->capacity * sizeof(Host));
	}
	else if (list->count == list->capacity)
	{
		list->capacity += list->capacity / 2;
		list->hosts = repalloc(list->hosts, list->capacity * sizeof(Host));
	}
	list->hosts[list->count].addr = addr;
	list->hosts[list->count].text = text;
	list->hosts[list->count].match = match;
	list->count++;
}

void
host_list_cut(HostList *list, int count)
{
	if (list->count > count)
		list->count = Max(count, 0);
}

bool
hosts_match(const HostList *list, int host_count, int min_percent)
{
	int			n = Min(list->count, Max(host_count, 0));
	/* Single precision, as the thresholds were tuned with. */
	float		sum = 0;

	for (int i = 0; i < n; i++)
		sum += (float) list->hosts[i].match;
	elog(DEBUG2, "sum: %f, min_percent: %d, host_count: %d", sum, min_percent, host_count);
	return sum >= min_percent;
}

char *
join_array(int count, char **strings, char separator)
{
	size_t		total = 0;
	char	   *joined;
	char	   *p;

	Assert(count >= 1);
	for (int i = 0; i < count; i++)
		total += strlen(strings[i]) + 1;
	joined = palloc(total);
	p = joined;
	for (int i = 0; i < count; i++)
	{
		size_t		len = strlen(strings[i]);

		memcpy(p, strings[i], len);
		p += len;
		*p++ = separator;
	}
	p[-1] = '\0';
	return joined;
}

char *
host_list_text(const HostList *list)
{
	char	  **texts;
	char	   *joined;

	if (list->count == 0)
		return NULL;
	texts = palloc(list->count * sizeof(char *));
	for (int i = 0; i < list->count; i++)
		texts[i] = list->hosts[i].text;
	joined = join_array(list->count, texts, ',');
	pfree(texts);
	return joined;
}

Datum
host_list_array(const HostList *list)
{
	Datum	   *addrs = palloc((list->count + 1) * sizeof(Datum));
	int16		typlen;
	bool		typbyval;
	char		typalign;
	ArrayType  *array;

	for (int i = 0; i < list->count; i++)
		addrs[i] = list->hosts[i].addr;
	get_typlenbyvalalign(INETOID, &typlen, &typbyval, &typalign);
	array = construct_array(addrs, list->count, INETOID, typlen, typbyval, typalign);
	pfree(addrs);
	return PointerGetDatum(array);
}
