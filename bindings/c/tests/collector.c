#define _POSIX_C_SOURCE 200809L

#include "collector.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

static const char kAnnouncement[] = "listening on http://127.0.0.1:";

static long long now_ms(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

/* Appends what `fd` has to *buffer; waits for it until `deadline`. 1 when
 * bytes came, 0 at the end of the stream, -1 past the deadline. */
static int read_some(int fd, char** buffer, size_t* length, long long deadline) {
  struct pollfd ready = {fd, POLLIN, 0};
  char chunk[4096];
  ssize_t n;
  char* grown;
  for (;;) {
    const long long left = deadline - now_ms();
    if (left <= 0) return -1;
    if (poll(&ready, 1, (int)left) < 0 && errno != EINTR) return -1;
    if (ready.revents == 0) continue;
    n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    grown = realloc(*buffer, *length + (size_t)n + 1);
    if (grown == NULL) return -1;
    memcpy(grown + *length, chunk, (size_t)n);
    *length += (size_t)n;
    grown[*length] = '\0';
    *buffer = grown;
    return 1;
  }
}

int qxt_collector_start(qxt_collector* collector, int hits, int status) {
  int out[2], err[2];
  char count[16], answer[16];
  /* A cross-built test runs under a user-mode emulator, which does not
   * follow into the programs it starts: the tool needs it too. */
  char* argv[] = {
#ifdef QUORVEX_TEST_EMULATOR
      QUORVEX_TEST_EMULATOR,
#endif
      QUORVEX_TOOL_PATH,     "collect", "--port", "0", "--count", count, "--status", answer, NULL};
  posix_spawn_file_actions_t actions;
  char* announced = NULL;
  size_t length = 0;
  const long long deadline = now_ms() + 10000;
  const char* at;

  memset(collector, 0, sizeof *collector);
  collector->pid = -1;
  snprintf(count, sizeof count, "%d", hits);
  snprintf(answer, sizeof answer, "%d", status);
  if (pipe(out) != 0 || pipe(err) != 0) return -1;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addclose(&actions, err[0]);
  if (posix_spawn(&collector->pid, argv[0], &actions, NULL, argv, environ) != 0)
    collector->pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  collector->out_fd = out[0];
  collector->err_fd = err[0];
  if (collector->pid < 0) return -1;

  while ((at = announced ? strstr(announced, kAnnouncement) : NULL) == NULL ||
         strchr(at + sizeof kAnnouncement - 1, '/') == NULL) {
    if (read_some(collector->err_fd, &announced, &length, deadline) <= 0) {
      free(announced);
      return -1;
    }
  }
  snprintf(collector->url, sizeof collector->url, "http://127.0.0.1:%d/7/",
           atoi(at + sizeof kAnnouncement - 1));
  free(announced);
  return 0;
}

/* Cuts the output into lines and the lines into hits. */
static int cut_into_hits(qxt_collector* collector) {
  char* line = collector->text;
  char** lines = NULL;
  size_t count = 0, i, hit = 0;
  while (line != NULL && *line != '\0') {
    char* end = strchr(line, '\n');
    char** grown = realloc(lines, (count + 2) * sizeof *lines);
    if (grown == NULL) return -1;
    lines = grown;
    lines[count++] = line;
    if (end != NULL) *end++ = '\0';
    line = end;
  }
  if (lines == NULL) return 0;
  lines[count] = NULL;
  /* Each hit's lines are those after its "--- hit" line, up to the next. */
  for (i = 0; i < count && hit < QXT_MOST_HITS; ++i) {
    if (strncmp(lines[i], "--- hit ", 8) == 0) {
      collector->hit_lines[hit++] = &lines[i + 1];
      lines[i] = NULL;
    }
  }
  collector->hit_count = hit;
  collector->lines = lines;
  return 0;
}

int qxt_collector_finish(qxt_collector* collector) {
  size_t length = 0;
  int status = 0, step;
  const long long deadline = now_ms() + 20000;
  while ((step = read_some(collector->out_fd, &collector->text, &length, deadline)) > 0) {
  }
  if (step < 0) return -1;
  if (waitpid(collector->pid, &status, 0) != collector->pid) return -1;
  collector->pid = -1;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return cut_into_hits(collector);
}

const char* qxt_field(const qxt_collector* collector, size_t hit, const char* name) {
  const size_t name_length = strlen(name);
  char** line;
  if (hit >= collector->hit_count) return NULL;
  for (line = collector->hit_lines[hit]; *line != NULL; ++line) {
    if (strncmp(*line, name, name_length) == 0 && (*line)[name_length] == '=')
      return *line + name_length + 1;
  }
  return NULL;
}

void qxt_collector_free(qxt_collector* collector) {
  if (collector->pid > 0) {
    kill(collector->pid, SIGKILL);
    waitpid(collector->pid, NULL, 0);
  }
  if (collector->out_fd > 0) close(collector->out_fd);
  if (collector->err_fd > 0) close(collector->err_fd);
  free(collector->lines);
  free(collector->text);
  memset(collector, 0, sizeof *collector);
}
