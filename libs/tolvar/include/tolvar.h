/*
 * libtolvar: the text of a filter rule for an attack pattern in a target
 * format, made by a generator of that format from the pattern's text and
 * its top source and destination hosts.
 */
#ifndef TOLVAR_H
#define TOLVAR_H

#include "postgres.h"
#include "fmgr.h"

/* SQL: tolvar.get_rule_text(target_name text, flood_id integer, pattern_id integer) */
extern PGDLLEXPORT Datum get_rule_text(PG_FUNCTION_ARGS);

/* Folder of the external generator scripts (setting tolvar.commands_dir). */
extern char *tolvar_commands_dir;

#define RUBY_PATH "/usr/bin/ruby"

/* Generator output past this is an error rather than a cut rule. */
#define GENERATOR_OUTPUT_MAX (1024 * 1024)

/* A generator still busy after this long is killed: the query waits no longer. */
#define GENERATOR_TIMEOUT_MS 10000

/* One top host of a pattern within a flood. */
typedef struct Host
{
	Datum		addr;			/* inet */
	char	   *text;			/* the address as text */
	double		match;			/* share of the pattern's packets, percent */
} Host;

/* Hosts of one side, highest match first. */
typedef struct HostList
{
	Host	   *hosts;
	int			count;
	int			capacity;
} HostList;

extern void host_list_append(HostList *list, Datum addr, char *text, double match);
extern void host_list_cut(HostList *list, int count);
extern bool hosts_match(const HostList *list, int host_count, int min_percent);
extern char *join_array(int count, char **strings, char separator);
/* The addresses joined by ","; NULL for an empty list. */
extern char *host_list_text(const HostList *list);
/* The addresses as inet[]; empty for an empty list. */
extern Datum host_list_array(const HostList *list);

/*
 * Target names become a function name and a script path: only letters,
 * digits, "_" and "-", and short enough for "filter_<name>" to be a name.
 */
extern bool valid_target_name(const char *name);

/* The text the external generator of type_name writes for the pattern. */
extern text *run_external(const char *type_name, int32 pattern_id,
						  const HostList *sources, const HostList *destinations,
						  const char *pattern);

/*
 * Runs the program argv[0] with argv, without a shell, writes input to its
 * standard input and returns all of its standard output (NUL-terminated,
 * length in *output_len). More than max_output bytes, an exchange and exit
 * not done within timeout_ms, an exit status other than 0 or a death by a
 * signal raise an ERROR naming what: a failed generator's output is never
 * a rule. An error of any kind kills and reaps the child first.
 */
extern char *run_generator_process(char *const argv[], const char *input,
								   size_t input_len, size_t max_output,
								   int timeout_ms, const char *what,
								   size_t *output_len);

#endif
