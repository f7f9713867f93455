/* Runs a program with transparent large pages turned off for it (the flag
 * passes through exec), so that echo_bench.sh can show what large pages
 * are worth to the echo program. Usage: small_pages PROGRAM [ARGS...] */
#include <stdio.h>
#include <sys/prctl.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 2) return 127;
  if (prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0) != 0) {
    perror("prctl");
    return 127;
  }
  execv(argv[1], argv + 1);
  perror(argv[1]);
  return 127;
}
