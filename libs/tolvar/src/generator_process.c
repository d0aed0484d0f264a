/*
 * A child program fed on its standard input and read from its standard
 * output, inside a database backend.
 *
 * The backend raises errors by longjmp, so every way out of the exchange,
 * an ERROR or a cancel included, goes through one place that closes the
 * pipes and kills and reaps the child: nothing is left behind for the
 * lifetime of the backend.
 */
#include "tolvar.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "lib/stringinfo.h"
#include "miscadmin.h"

/* How long one wait lasts before a cancel of the query is looked at. */
#define POLL_SLICE_MS 1000
/* How often a child that closed its output is looked at until it exits. */
#define EXIT_POLL_MS 2
#define READ_CHUNK 8192

typedef struct Generator
{
	pid_t		pid;			/* -1 once reaped */
	int			to_child;		/* -1 once all input is written */
	int			from_child;		/* -1 once closed */
	int			timeout_ms;
	int64		deadline_ms;	/* on the monotonic clock */
} Generator;

static int64
now_ms(void)
{
	struct timespec ts;

	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (int64) ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

/* How long the next wait may last: at most a slice, an ERROR once past the deadline. */
static int
wait_slice(const Generator *gen, const char *what)
{
	int64		left = gen->deadline_ms - now_ms();

	if (left <= 0)
		ereport(ERROR,
				(errmsg("%s did not finish within %d ms", what, gen->timeout_ms)));
	return (int) Min(left, POLL_SLICE_MS);
}

static void
close_fd(int *fd)
{
	if (*fd >= 0)
		close(*fd);
	*fd = -1;
}

/* Only async-signal-safe calls: this runs in the forked copy of the backend. */
static void
exec_child(int in_fd, int out_fd, char *const argv[])
{
	sigset_t	none;

	if (dup2(in_fd, STDIN_FILENO) < 0 || dup2(out_fd, STDOUT_FILENO) < 0)
		_exit(127);
	/* The backend's own files, its client socket included, stay with it. */
	close_range(STDERR_FILENO + 1, ~0U, 0);
	/* The backend ignores SIGPIPE and may block signals; the child must not. */
	signal(SIGPIPE, SIG_DFL);
	sigemptyset(&none);
	sigprocmask(SIG_SETMASK, &none, NULL);
	execv(argv[0], argv);
	_exit(127);
}

static void
start_child(Generator *gen, char *const argv[])
{
	int			in_pipe[2];
	int			out_pipe[2];

	if (pipe2(in_pipe, O_CLOEXEC) != 0)
		elog(ERROR, "could not create pipe for %s: %m", argv[0]);
	if (pipe2(out_pipe, O_CLOEXEC) != 0)
	{
		close(in_pipe[0]);
		close(in_pipe[1]);
		elog(ERROR, "could not create pipe for %s: %m", argv[0]);
	}
	fflush(NULL);
	gen->pid = fork();
	if (gen->pid == 0)
		exec_child(in_pipe[0], out_pipe[1], argv);
	close(in_pipe[0]);
	close(out_pipe[1]);
	gen->to_child = in_pipe[1];
	gen->from_child = out_pipe[0];
	if (gen->pid < 0)
	{
		close_fd(&gen->to_child);
		close_fd(&gen->from_child);
		elog(ERROR, "could not fork %s: %m", argv[0]);
	}
	/* Writes must never block: the child may be busy writing its output. */
	fcntl(gen->to_child, F_SETFL, O_NONBLOCK);
}

/* Writes what the pipe takes now; true when the input is done with. */
static bool
feed_child(Generator *gen, const char *input, size_t input_len, size_t *written)
{
	while (*written < input_len)
	{
		ssize_t		n = write(gen->to_child, input + *written, input_len - *written);

		if (n > 0)
			*written += n;
		else if (errno == EAGAIN || errno == EINTR)
			return false;
		else
			break;				/* EPIPE: it stopped reading; its output still counts */
	}
	close_fd(&gen->to_child);
	return true;
}

/* Reads what is there; false at end of output. */
static bool
drain_child(Generator *gen, StringInfo out, size_t max_output, const char *what)
{
	ssize_t		n;

	enlargeStringInfo(out, READ_CHUNK);
	n = read(gen->from_child, out->data + out->len, READ_CHUNK);
	if (n < 0)
	{
		if (errno == EINTR || errno == EAGAIN)
			return true;
		elog(ERROR, "could not read output of %s: %m", what);
	}
	if (n == 0)
		return false;
	out->len += n;
	out->data[out->len] = '\0';
	if ((size_t) out->len > max_output)
		elog(ERROR, "output returned by %s exceeds %zu bytes", what, max_output);
	return true;
}

static void
exchange(Generator *gen, const char *input, size_t input_len, size_t max_output,
		 const char *what, StringInfo out)
{
	size_t		written = 0;
	bool		reading = true;

	if (input_len == 0)
		close_fd(&gen->to_child);
	while (reading)
	{
		struct pollfd fds[2];
		int			nfds = 0;

		CHECK_FOR_INTERRUPTS();
		fds[nfds++] = (struct pollfd) {.fd = gen->from_child, .events = POLLIN};
		if (gen->to_child >= 0)
			fds[nfds++] = (struct pollfd) {.fd = gen->to_child, .events = POLLOUT};
		if (poll(fds, nfds, wait_slice(gen, what)) < 0)
		{
			if (errno == EINTR)
				continue;
			elog(ERROR, "could not wait for %s: %m", what);
		}
		if (nfds == 2 && fds[1].revents != 0)
			feed_child(gen, input, input_len, &written);
		if (fds[0].revents != 0)
			reading = drain_child(gen, out, max_output, what);
	}
}

static void
reap_child(pid_t pid)
{
	int			status;

	while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
		;
}

/* A generator that failed may have printed part of a rule: none of it counts. */
static void
check_exit(int status, const char *what)
{
	if (WIFSIGNALED(status))
		ereport(ERROR,
				(errmsg("%s was terminated by signal %d", what, WTERMSIG(status))));
	if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
		ereport(ERROR,
				(errmsg("%s exited with status %d", what, WEXITSTATUS(status))));
}

/* The end of its output is not its exit: it is waited for within the same deadline. */
static void
await_exit(Generator *gen, const char *what)
{
	int			status = 0;
	pid_t		done;

	for (;;)
	{
		CHECK_FOR_INTERRUPTS();
		done = waitpid(gen->pid, &status, WNOHANG);
		if (done == gen->pid)
			break;
		if (done < 0 && errno != EINTR)
			elog(ERROR, "could not wait for %s: %m", what);
		pg_usleep(Min(wait_slice(gen, what), EXIT_POLL_MS) * 1000L);
	}
	gen->pid = -1;
	check_exit(status, what);
}

char *
run_generator_process(char *const argv[], const char *input, size_t input_len,
					  size_t max_output, int timeout_ms, const char *what,
					  size_t *output_len)
{
	Generator	gen = {.pid = -1, .to_child = -1, .from_child = -1,
		.timeout_ms = timeout_ms, .deadline_ms = now_ms() + timeout_ms};
	Generator  *volatile genp = &gen;
	StringInfoData out;

	initStringInfo(&out);
	start_child(&gen, argv);
	PG_TRY();
	{
		exchange(genp, input, input_len, max_output, what, &out);
		close_fd(&genp->to_child);
		close_fd(&genp->from_child);
		await_exit(genp, what);
	}
	PG_CATCH();
	{
		close_fd(&genp->to_child);
		close_fd(&genp->from_child);
		if (genp->pid > 0)
		{
			kill(genp->pid, SIGKILL);
			reap_child(genp->pid);
		}
		PG_RE_THROW();
	}
	PG_END_TRY();
	*output_len = out.len;
	return out.data;
}
