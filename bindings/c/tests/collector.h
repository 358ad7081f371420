/* `quorvex collect` run as a child process for the C API's tests: it says
 * on standard error where it listens, prints each hit it receives field by
 * field on standard output and exits after the number of hits it was told.
 * What it printed is then read back, a hit at a time. */
#ifndef QUORVEX_BINDINGS_C_TESTS_COLLECTOR_H_
#define QUORVEX_BINDINGS_C_TESTS_COLLECTOR_H_

#include <stddef.h>
#include <sys/types.h>

#define QXT_MOST_HITS 16

typedef struct qxt_collector {
  pid_t pid;
  int out_fd;
  int err_fd;
  char url[64]; /* http://127.0.0.1:PORT/7/ */
  /* Filled by qxt_collector_finish: the output, cut into lines. */
  char* text;
  char** lines;
  size_t hit_count;
  char** hit_lines[QXT_MOST_HITS]; /* each hit's field lines, NULL-terminated */
} qxt_collector;

/* Starts a collector that answers `status` to every hit and exits after
 * `hits` of them. 0 on success. */
int qxt_collector_start(qxt_collector* collector, int hits, int status);

/* Reads what the collector printed until it exits, 20 s at most, and cuts
 * it into hits. 0 when it exited on its own after its hits. */
int qxt_collector_finish(qxt_collector* collector);

/* The value of field `name` in hit `hit` (from 0) as the collector printed
 * it (control bytes escaped as \xNN), or NULL. */
const char* qxt_field(const qxt_collector* collector, size_t hit, const char* name);

/* Kills the collector if it still runs and frees what it read. */
void qxt_collector_free(qxt_collector* collector);

#endif /* QUORVEX_BINDINGS_C_TESTS_COLLECTOR_H_ */
