/* The floor for one echo request over FastCGI: the least a libfcgi
 * responder can do to answer a GET with the same page as cgiecho (query
 * string, each "<" as "&lt;", in one FCGX_PutStr). */
#include <fcgiapp.h>

#include "minimal_page.h"

int main(void) {
  FCGX_Request request;
  if (FCGX_Init() != 0 || FCGX_InitRequest(&request, 0, 0) != 0) return 1;
  while (FCGX_Accept_r(&request) >= 0) {
    size_t size = 0;
    char* page = minimal_page(FCGX_GetParam("QUERY_STRING", request.envp), &size);
    if (!page) continue;
    FCGX_PutStr(page, (int)size, request.out);
    free(page);
    FCGX_Finish_r(&request);
  }
  return 0;
}
