/* A C host of the exported routines, run as a CGI program: it takes the
 * body with CGI_STDIN and writes it back behind the CGI header. */
#include "cgiecho.h"

int main(void) {
  cgi_str body = CGI_STDIN(); /* ours to release */
  cgi_write(&body);
  SysFreeString(body);
  return 0;
}
