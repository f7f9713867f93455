/**
 * @file
 * cgiecho: the exported interface of the CGI library.
 *
 * Text crosses this interface as a string handle: the address of the data of
 * a length-prefixed byte string. On Windows that is an OLE Automation BSTR
 * holding bytes (SysAllocStringByteLen, SysStringByteLen, SysFreeString from
 * oleaut32). Linux has no OLE, so libcgiecho.so exports a stand-in with the
 * same names and the same layout: a 32-bit byte length just before the data
 * and a zero byte just after it. Any byte may occur in a text, NUL included;
 * always use SysStringByteLen, never strlen.
 *
 * The null handle is the empty text. Every routine accepts it, and an empty
 * result comes back as the null handle.
 *
 * Ownership, as each routine's note says:
 *   - "reads *x": by reference; the caller keeps its string and it is left
 *     unchanged (exec_html alone replaces it);
 *   - "takes x": by value; the routine owns the handle and releases it, so
 *     pass a copy if you still need the text;
 *   - "caller owns the result": release it with SysFreeString.
 * No routine reports an error: a missing variable, a failed read or write,
 * or a failed allocation gives empty or partial text and the work goes on.
 *
 * Environment names: the Windows environment ignores the case of names. The
 * Linux environment does not, so lookups there are exact-case; the fixed
 * accessors use the upper-case names and CGI_PARM / CGI_LPARM upper-case the
 * name they are given, so every CGI variable is found on both platforms.
 */
#ifndef CGIECHO_H
#define CGIECHO_H

#include <stddef.h>
#include <stdint.h>

/** Marks the exported routines: exported from the DLL (and the echo
 * program) while it is built, imported by the programs that call it,
 * default visibility in libcgiecho.so. */
#if defined(_WIN32) && defined(CGI_BUILDING)
#  define CGI_API __declspec(dllexport) /* the exe and the DLL both export the table */
#elif defined(_WIN32)
#  define CGI_API __declspec(dllimport)
#else
#  define CGI_API __attribute__((visibility("default")))
#endif

/** The routines' calling convention: __stdcall in the 32-bit DLL, the
 * platform's own everywhere else. */
#if defined(_WIN32) && !defined(_WIN64)
#  define CGI_CALL __stdcall /* what callers of a 32-bit DLL expect */
#else
#  define CGI_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
/* A BSTR (OLECHAR *) whose bytes are the text; oleaut32 supplies the
 * Sys* functions and the SAFEARRAY type (<oleauto.h>). */
typedef wchar_t *cgi_str;
struct tagSAFEARRAY;
#else
/** A string handle: the address of a length-prefixed byte string (a BSTR
 * holding bytes on Windows, its stand-in here), or null for the empty text.
 * Its length is SysStringByteLen's, never strlen's. */
typedef char *cgi_str;

/* Stand-ins for the OLE string calls, same names and meaning as on Windows. */
CGI_API cgi_str SysAllocStringByteLen(const char *data, uint32_t len); /**< data may be NULL: zero bytes */
CGI_API void SysFreeString(cgi_str s);        /**< releases s; null is allowed */
CGI_API uint32_t SysStringByteLen(cgi_str s); /**< the byte length of s; 0 for null */

/* The least SAFEARRAY subset that CGI_PARSEPARMS needs, with the Windows
 * layout: a one-dimensional vector of string handles. */
/** The bounds of one dimension of a SAFEARRAY. */
typedef struct tagSAFEARRAYBOUND {
  uint32_t cElements; /**< the number of elements */
  int32_t lLbound;    /**< the index of the first one */
} SAFEARRAYBOUND;
/** A one-dimensional vector of string handles, as CGI_PARSEPARMS makes it. */
typedef struct tagSAFEARRAY {
  uint16_t cDims;              /**< dimensions: 1 */
  uint16_t fFeatures;          /**< feature flags, as on Windows */
  uint32_t cbElements;         /**< the size of one element */
  uint32_t cLocks;             /**< SafeArrayLock's count: a locked array cannot be destroyed */
  void *pvData;                /**< cgi_str[cElements] for a VT_BSTR vector */
  SAFEARRAYBOUND rgsabound[1]; /**< the bounds of the one dimension */
} SAFEARRAY;
#  define VT_BSTR 8 /**< the element type of a vector of string handles */
/** A vector of count null handles of type vt (VT_BSTR), indexed from lower_bound; null when memory runs out. */
CGI_API SAFEARRAY *SafeArrayCreateVector(uint16_t vt, int32_t lower_bound, uint32_t count);
CGI_API int32_t SafeArrayDestroy(SAFEARRAY *array); /**< releases the strings too; 0 on success */
/** The first index of dimension dim (1) in *lower; 0 on success. */
CGI_API int32_t SafeArrayGetLBound(SAFEARRAY *array, uint32_t dim, int32_t *lower);
/** The last index of dimension dim (1) in *upper; 0 on success. */
CGI_API int32_t SafeArrayGetUBound(SAFEARRAY *array, uint32_t dim, int32_t *upper);
#endif

/* ---- Request readers ---------------------------------------------------
 * The request data is QUERY_STRING for GET, PUT and HEAD, the body on
 * standard input for POST (CONTENT_LENGTH bytes at most), and the program's
 * command-line tail for any other method or none. */
CGI_API int32_t CGI_CALL CGI_BUFFER(void); /**< stores the request data for CGI_FIELD; returns its length */
CGI_API cgi_str CGI_CALL CGI_READ(void);   /**< caller owns the result: the request data */
CGI_API cgi_str CGI_CALL CGI_STDIN(void);  /**< caller owns the result: the body, CONTENT_LENGTH bytes at most */

/** ---- Environment accessors ---------------------------------------------
 * One table names every fixed accessor: CGI_VARIABLE(void) reads the
 * environment variable VARIABLE. TEXT accessors return a string the
 * caller owns (null when unset); NUMBER accessors read the value as a
 * number (0 when unset or not a number; -2147483648 when out of range);
 * the FLAG accessor returns 0 when the value is exactly "0" and -1 for
 * anything else, unset included. */
#define CGI_FIXED_ACCESSORS(TEXT, NUMBER, FLAG) \
  TEXT(AUTH_TYPE)                               \
  NUMBER(CONTENT_LENGTH)                        \
  TEXT(CONTENT_TYPE)                            \
  TEXT(DATE_GMT)                                \
  TEXT(DATE_LOCAL)                              \
  TEXT(DOCUMENT)                                \
  TEXT(DOCUMENT_URI)                            \
  TEXT(GATEWAY_INTERFACE)                       \
  TEXT(HTTP_ACCEPT)                             \
  TEXT(HTTP_ACCEPT_CHARSET)                     \
  TEXT(HTTP_ACCEPT_ENCODING)                    \
  TEXT(HTTP_ACCEPT_LANGUAGE)                    \
  TEXT(HTTP_CONNECTION)                         \
  TEXT(HTTP_COOKIE)                             \
  TEXT(HTTP_FROM)                               \
  TEXT(HTTP_HOST)                               \
  TEXT(HTTP_PRAGMA)                             \
  TEXT(HTTP_REFERER)                            \
  TEXT(HTTP_USER_AGENT)                         \
  TEXT(HTTPS)                                   \
  TEXT(LAST_MODIFIED)                           \
  TEXT(LOCAL_ADDR)                              \
  TEXT(LOGON_USER)                              \
  TEXT(PATH_INFO)                               \
  TEXT(PATH_TRANSLATED)                         \
  TEXT(QUERY_METHOD)                            \
  TEXT(QUERY_STRING)                            \
  TEXT(QUERY_STRING_UNESCAPED)                  \
  TEXT(REMOTE_ADDR)                             \
  TEXT(REMOTE_HOST)                             \
  TEXT(REMOTE_IDENT)                            \
  TEXT(REMOTE_USER)                             \
  TEXT(REQUEST_METHOD)                          \
  TEXT(SCRIPT_NAME)                             \
  TEXT(SERVER_NAME)                             \
  NUMBER(SERVER_PORT)                           \
  FLAG(SERVER_PORT_SECURE)                      \
  TEXT(SERVER_PROTOCOL)                         \
  TEXT(SERVER_SOFTWARE)

/** @cond INTERNAL */
#define CGI_DECLARE_TEXT_(var) CGI_API cgi_str CGI_CALL CGI_##var(void);
#define CGI_DECLARE_NUMBER_(var) CGI_API int32_t CGI_CALL CGI_##var(void);
CGI_FIXED_ACCESSORS(CGI_DECLARE_TEXT_, CGI_DECLARE_NUMBER_, CGI_DECLARE_NUMBER_)
#undef CGI_DECLARE_TEXT_
#undef CGI_DECLARE_NUMBER_
/** @endcond */

CGI_API cgi_str CGI_CALL CGI_PARM(cgi_str *name);  /**< reads *name; caller owns the result: the variable's value */
CGI_API int32_t CGI_CALL CGI_LPARM(cgi_str *name); /**< reads *name; the variable's value as a number */

/* ---- Output writers: every byte goes out unchanged, NUL included -------- */
CGI_API void CGI_CALL exec_html(cgi_str *text);  /**< replaces *text with the whole response it wrote, in one write */
CGI_API void CGI_CALL cgi_write(cgi_str *text);  /**< reads *text; the first call writes the CGI header before it */
CGI_API void CGI_CALL cgi_stdout(cgi_str *text); /**< reads *text; writes it and CR LF */

/* ---- URL codec -------------------------------------------------------- */
CGI_API cgi_str CGI_CALL CGI_URLENCODE(cgi_str *text); /**< reads *text; caller owns the result */
CGI_API cgi_str CGI_CALL CGI_DECODE(cgi_str text);     /**< takes text; caller owns the result */

/* ---- Form fields (name=value pairs joined by "&") -------------------------
 * CGI_PARSEPARMS replaces *pairs (releasing whatever it held) with a vector
 * of the raw pairs, lower bound 1. For empty form data it is a vector with
 * no elements (lower bound 1, upper bound 0), never a null array. An array
 * the caller has locked (SafeArrayLock) cannot be released: it is then left
 * in *pairs as it was, still the caller's, and the call returns 0. When
 * memory runs out, what *pairs held is released all the same, *pairs is
 * null and the call returns 0. */
CGI_API int32_t CGI_CALL CGI_PARSEPARMS(cgi_str *form, struct tagSAFEARRAY **pairs); /**< reads *form; returns the pair count */
CGI_API cgi_str CGI_CALL CGI_VAR(cgi_str *form, cgi_str name); /**< reads *form, takes name; caller owns the result */
CGI_API cgi_str CGI_CALL CGI_FIELD(cgi_str name);              /**< takes name; CGI_VAR on the data CGI_BUFFER stored */

#ifdef __cplusplus
}
#endif

#endif /* CGIECHO_H */
