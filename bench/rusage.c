/* Runs a command and writes its wall time, user and system CPU time and peak memory.
 *
 *   rusage OUTFILE COMMAND [ARG...]
 *
 * OUTFILE receives one line "wall user sys maxrss_kib status". The benchmark runs every
 * tool through this small process: a child's peak memory includes the memory of the
 * process it was forked from, and the Python harness alone is larger than du.
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double seconds(struct timeval tv) { return tv.tv_sec + tv.tv_usec / 1e6; }

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s OUTFILE COMMAND [ARG...]\n", argv[0]);
    return 2;
  }
  struct timespec t0, t1;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  pid_t pid = fork();
  if (pid < 0) {
    perror("fork");
    return 2;
  }
  if (pid == 0) {
    execvp(argv[2], argv + 2);
    perror(argv[2]);
    _exit(127);
  }
  int status = 0;
  struct rusage ru;
  while (wait4(pid, &status, 0, &ru) < 0) {
    if (errno != EINTR) {
      perror("wait4");
      return 2;
    }
  }
  clock_gettime(CLOCK_MONOTONIC, &t1);
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  FILE* out = fopen(argv[1], "w");
  if (!out) {
    perror(argv[1]);
    return 2;
  }
  fprintf(out, "%.6f %.6f %.6f %ld %d\n",
          (t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) / 1e9,
          seconds(ru.ru_utime), seconds(ru.ru_stime), ru.ru_maxrss, code);
  return fclose(out) == 0 ? code : 2;
}
