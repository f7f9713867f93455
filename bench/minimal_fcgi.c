/* The floor for one echo request over FastCGI: the least a libfcgi
 * responder can do to answer a GET with the same page as cgiecho (query
 * string, each "<" as "&lt;", in one FCGX_PutStr). */
#include <fcgiapp.h>
#include <stdlib.h>
#include <string.h>

static const char kHead[] =
    "Content-type: text/html\r\n\r\n"
    "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0 Transitional//EN\">\r\n"
    "<html><body>";
static const char kTail[] = "\r\n</body></html>";

int main(void) {
  FCGX_Request request;
  if (FCGX_Init() != 0 || FCGX_InitRequest(&request, 0, 0) != 0) return 1;
  while (FCGX_Accept_r(&request) >= 0) {
    const char* query = FCGX_GetParam("QUERY_STRING", request.envp);
    if (!query) query = "";
    const size_t n = strlen(query);
    char* page = malloc(sizeof kHead + 4 * n + sizeof kTail);
    if (!page) continue;
    char* p = page;
    memcpy(p, kHead, sizeof kHead - 1);
    p += sizeof kHead - 1;
    for (size_t i = 0; i < n; ++i) {
      if (query[i] == '<') {
        memcpy(p, "&lt;", 4);
        p += 4;
      } else {
        *p++ = query[i];
      }
    }
    memcpy(p, kTail, sizeof kTail - 1);
    p += sizeof kTail - 1;
    FCGX_PutStr(page, (int)(p - page), request.out);
    free(page);
    FCGX_Finish_r(&request);
  }
  return 0;
}
