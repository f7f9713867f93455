/* The page both floor programs write: the query string framed as cgiecho
 * frames it, each "<" as "&lt;". Returns the page, malloc'd, and its length
 * in *size; NULL when memory is short. */
#ifndef CGIECHO_MINIMAL_PAGE_H
#define CGIECHO_MINIMAL_PAGE_H

#include <stdlib.h>
#include <string.h>

static char* minimal_page(const char* query, size_t* size) {
  static const char head[] =
      "Content-type: text/html\r\n\r\n"
      "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0 Transitional//EN\">\r\n"
      "<html><body>";
  static const char tail[] = "\r\n</body></html>";
  if (!query) query = "";
  const size_t n = strlen(query);
  char* page = malloc(sizeof head + 4 * n + sizeof tail);
  if (!page) return NULL;
  char* p = page;
  memcpy(p, head, sizeof head - 1);
  p += sizeof head - 1;
  for (size_t i = 0; i < n; ++i) {
    if (query[i] == '<') {
      memcpy(p, "&lt;", 4);
      p += 4;
    } else {
      *p++ = query[i];
    }
  }
  memcpy(p, tail, sizeof tail - 1);
  p += sizeof tail - 1;
  *size = (size_t)(p - page);
  return page;
}

#endif
