/*
 * The external rule generators: ruby scripts named after their target type,
 * given the rule's name and hosts as arguments and the pattern text on their
 * standard input. They are run without a shell, so that neither the target
 * name nor the pattern text is ever interpreted.
 */
#include "tolvar.h"

#include "executor/spi.h"
#include "mb/pg_wchar.h"

#define RULE_NAME_PREFIX "Velto-Filter-"

bool
valid_target_name(const char *name)
{
	static const char prefix[] = "filter_";
	size_t		len = strlen(name);

	if (len == 0 || len > NAMEDATALEN - 1 - (sizeof(prefix) - 1))
		return false;
	for (const char *p = name; *p != '\0'; p++)
	{
		bool		letter = (*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z');
		bool		digit = *p >= '0' && *p <= '9';

		if (!letter && !digit && *p != '_' && *p != '-')
			return false;
	}
	return true;
}

/* ruby, the script, then: <type> -e -n <rule> [-s <sources>] [-d <destinations>] */
static int
generator_argv(char **argv, const char *type_name, int32 pattern_id,
			   const HostList *sources, const HostList *destinations)
{
	char	   *source_text = host_list_text(sources);
	char	   *destination_text = host_list_text(destinations);
	int			argc = 0;

	argv[argc++] = RUBY_PATH;
	argv[argc++] = psprintf("%s/%s", tolvar_commands_dir, type_name);
	argv[argc++] = "-e";
	argv[argc++] = "-n";
	argv[argc++] = psprintf(RULE_NAME_PREFIX "%d", pattern_id);
	if (source_text != NULL)
	{
		argv[argc++] = "-s";
		argv[argc++] = source_text;
	}
	if (destination_text != NULL)
	{
		argv[argc++] = "-d";
		argv[argc++] = destination_text;
	}
	argv[argc] = NULL;
	return argc;
}

text *
run_external(const char *type_name, int32 pattern_id, const HostList *sources,
			 const HostList *destinations, const char *pattern)
{
	char	   *argv[10];
	int			argc = generator_argv(argv, type_name, pattern_id, sources, destinations);
	/* The generator reads one line: the pattern text. */
	char	   *input = psprintf("%s\n", pattern);
	char	   *output;
	size_t		output_len;
	text	   *result;

	/* The arguments as the script sees them: the type name stands first. */
	elog(DEBUG2, "run_external() - arguments\n%s %s", type_name, join_array(argc - 2, argv + 2, ' '));
	elog(DEBUG2, "run_external() - pattern\n%s", pattern);
	elog(DEBUG2, "command_sh - :\n%s\n", join_array(argc, argv, ' '));

	output = run_generator_process(argv, input, strlen(input), GENERATOR_OUTPUT_MAX,
								   GENERATOR_TIMEOUT_MS, type_name, &output_len);
	/* A text ends at the first NUL, as the rule would for any C reader. */
	output_len = strnlen(output, output_len);
	elog(DEBUG2, "Output result:\n%s\n", output);
	if (output_len == 0)
		elog(ERROR, "output returned by %s is empty", type_name);
	pg_verifymbstr(output, (int) output_len, false);

	result = (text *) SPI_palloc(VARHDRSZ + output_len);
	SET_VARSIZE(result, VARHDRSZ + output_len);
	memcpy(VARDATA(result), output, output_len);
	elog(DEBUG2, "VARDATA(result):\n%s\n", output);
	return result;
}
