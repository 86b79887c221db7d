/* Runs a command and records its wall time, peak resident set size and CPU
 * time:
 *   measure RESULT_FILE COMMAND [ARG...]
 * appends "SECONDS PEAK_RSS_KIB EXIT_STATUS CPU_SECONDS" as one line to
 * RESULT_FILE; CPU_SECONDS is user plus system time of the command and of
 * the processes it waited for (wait4's ru_utime + ru_stime).
 * The clock runs from just before the process is started to just after it
 * has been reaped; the peak is the kernel's own account of the child
 * (wait4's ru_maxrss), the figure /usr/bin/time -v reports. The command's
 * standard streams are left as they are. */
#define _GNU_SOURCE
#include <errno.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

extern char **environ;

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: measure RESULT_FILE COMMAND [ARG...]\n");
    return 2;
  }
  FILE *result = fopen(argv[1], "a");
  if (result == NULL) {
    fprintf(stderr, "measure: cannot open %s: %s\n", argv[1], strerror(errno));
    return 2;
  }
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t child;
  /* posix_spawn shares this small process's memory until the exec, so the
   * peak recorded is the command's own. */
  int failed = posix_spawnp(&child, argv[2], NULL, NULL, argv + 2, environ);
  if (failed != 0) {
    fprintf(stderr, "measure: cannot start %s: %s\n", argv[2], strerror(failed));
    return 2;
  }
  int status = 0;
  struct rusage usage;
  while (wait4(child, &status, 0, &usage) < 0) {
    if (errno != EINTR) {
      fprintf(stderr, "measure: wait4: %s\n", strerror(errno));
      return 2;
    }
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  double seconds = (double)(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  double cpu = (double)(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  fprintf(result, "%.6f %ld %d %.6f\n", seconds, usage.ru_maxrss, code, cpu);
  return fclose(result) == 0 ? 0 : 2;
}
