/*
 * Choice of the prevalent hosts from their match percentages.
 */
#include "detect.h"

int
choose_host_count(const double *matches, int n, const ThresholdRow *rows,
				  int nrows, bool none_when_unmet)
{
	int64		largest = nrows > 0 ? rows[0].host_count : 0;
	int			summed = (int) Min((int64) n, Max(largest, 0));
	double	   *running = palloc((summed + 1) * sizeof(double));
	int			chosen = none_when_unmet ? 0 : n;

	/* running[c] is the share of the top c hosts. */
	running[0] = 0;
	for (int i = 0; i < summed; i++)
		running[i + 1] = running[i] + matches[i];

	for (int r = 0; r < nrows; r++)
	{
		int			c;

		/* Zero hosts carry nothing: such a row has no meaning. */
		if (rows[r].host_count <= 0)
			continue;
		c = (int) Min(rows[r].host_count, (int64) summed);
		if (rows[r].min_percent <= running[c])
		{
			chosen = c;
			break;
		}
	}
	pfree(running);
	return chosen;
}
