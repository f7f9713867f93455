/* A C program that calls the library through its exported interface. The
 * same source builds on Linux (libcgiecho.so and its OLE stand-ins) and on
 * Windows (cgiecho.dll with oleaut32's BSTR and SAFEARRAY). */
#ifdef _WIN32
#  include <windows.h>
#  include <oleauto.h>
#endif
#include <stdio.h>
#include <string.h>

#include "cgiecho.h"

/* Texts may hold any byte, so the length comes from the handle, and bytes
 * outside printable ASCII are shown as \xNN. */
static void show(const char *label, cgi_str text) {
  const unsigned char *bytes = (const unsigned char *)text;
  uint32_t len = SysStringByteLen(text);
  uint32_t i;
  printf("%s (%u): ", label, (unsigned)len);
  for (i = 0; i < len; ++i) {
    if (bytes[i] >= 0x20 && bytes[i] < 0x7F) putchar(bytes[i]);
    else printf("\\x%02X", bytes[i]);
  }
  putchar('\n');
}

/* The bounds type of the SafeArrayGet*Bound calls: LONG in oleaut32,
 * int32_t in the Linux stand-ins; both are 32 bits. */
#ifdef _WIN32
typedef LONG bound_t;
#else
typedef int32_t bound_t;
#endif

static cgi_str text_of(const char *s) { return SysAllocStringByteLen(s, (uint32_t)strlen(s)); }

int main(void) {
  cgi_str plain = text_of("a b&c=<d>");
  cgi_str form = text_of("name=Ann&note=a%3Cb%3E+c&empty=");
  cgi_str encoded, decoded, note, missing;
  SAFEARRAY *pairs;
  int32_t count;
  bound_t lower = -1, upper = -1, i;

  encoded = CGI_URLENCODE(&plain); /* plain stays ours */
  show("encoded", encoded);
  decoded = CGI_DECODE(encoded);   /* takes encoded: no SysFreeString for it */
  show("decoded", decoded);
  printf("round trip: %s\n",
         SysStringByteLen(decoded) == SysStringByteLen(plain) &&
                 memcmp(decoded, plain, SysStringByteLen(plain)) == 0
             ? "same"
             : "different");

  /* CGI_PARSEPARMS releases the array it is given and stores a new one. */
  pairs = SafeArrayCreateVector(VT_BSTR, 0, 2);
  count = CGI_PARSEPARMS(&form, &pairs);
  SafeArrayGetLBound(pairs, 1, &lower);
  SafeArrayGetUBound(pairs, 1, &upper);
  printf("pairs: %d, bounds %d..%d\n", (int)count, (int)lower, (int)upper);
  for (i = lower; i <= upper; ++i) {
    char label[16];
    snprintf(label, sizeof label, "pair %d", (int)i);
    show(label, ((cgi_str *)pairs->pvData)[i - lower]);
  }
  SafeArrayDestroy(pairs);

  note = CGI_VAR(&form, text_of("NOTE")); /* takes the name */
  show("note", note);
  missing = CGI_VAR(&form, text_of("other"));
  printf("other: %s\n", missing == NULL ? "null" : "not null");

  SysFreeString(note);
  SysFreeString(decoded);
  SysFreeString(form);
  SysFreeString(plain);
  return 0;
}
