/* The floor for one echo request: the least a C program can do to answer
 * a GET with the same page as cgiecho (query string, each "<" as "&lt;",
 * in one write). Built with cc -O2 -static by echo_bench.sh. */
#include <unistd.h>

#include "minimal_page.h"

int main(void) {
  size_t size = 0;
  char* page = minimal_page(getenv("QUERY_STRING"), &size);
  if (!page) return 0;
  ssize_t put = write(1, page, size);
  (void)put;
  return 0;
}
