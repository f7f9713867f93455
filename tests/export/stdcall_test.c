/* Every routine taken from cgiecho.dll by its plain name, as a 32-bit host
 * without an import library finds it, and called as a __stdcall caller
 * calls: the arguments pushed right to left, and none popped afterwards.
 * A routine that does not remove exactly its own arguments (a cdecl export,
 * or a definition whose arguments differ from the header's) moves the
 * caller's stack pointer, and a host's frame breaks on the next call.
 * Every other check holds the routines' behaviour; this one holds only
 * their frames, so each gets valid arguments and its result is released. */
#include <windows.h>
#include <oleauto.h>
#include <stdint.h>
#include <stdio.h>

#include "cgiecho.h"

struct routine {
  const char *name;
  char result;        /* s: string handle, n: number, v: nothing */
  const char *params; /* r: handle by reference, t: handle taken, a: array slot, n: number */
};

static const struct routine routines[] = {
#define CGI_ROUTINE(name, result, params) {#name, result, params},
#include "routine_table.h"
#undef CGI_ROUTINE
};

/* Calls fn with count 32-bit arguments, pushed from args[count - 1] down to
 * args[0], stores what it returns in eax, and answers how many bytes of
 * arguments it left on the stack: 0 for a __stdcall routine, 4 per
 * argument for a cdecl one, negative for one that removes too many. Written
 * in assembly so that no compiler stack adjustment hides the difference. */
int32_t __cdecl call_as_stdcall(FARPROC fn, const uint32_t *args, uint32_t count, uint32_t *result);
__asm__(".text\n"
        ".globl _call_as_stdcall\n"
        "_call_as_stdcall:\n"
        "  pushl %ebp\n"
        "  movl %esp, %ebp\n"
        "  pushl %ebx\n"
        "  pushl %esi\n"
        "  pushl %edi\n"
        "  movl 12(%ebp), %esi\n"
        "  movl 16(%ebp), %ecx\n"
        "  movl %esp, %ebx\n" /* the stack pointer before the arguments */
        "1:\n"
        "  testl %ecx, %ecx\n"
        "  jz 2f\n"
        "  decl %ecx\n"
        "  pushl (%esi,%ecx,4)\n"
        "  jmp 1b\n"
        "2:\n"
        "  call *8(%ebp)\n"
        "  movl 20(%ebp), %ecx\n"
        "  movl %eax, (%ecx)\n"
        "  movl %ebx, %eax\n"
        "  subl %esp, %eax\n"
        "  movl %ebx, %esp\n"
        "  popl %edi\n"
        "  popl %esi\n"
        "  popl %ebx\n"
        "  popl %ebp\n"
        "  ret\n");

static BSTR text_of(const char *s) { return SysAllocStringByteLen(s, (UINT)lstrlenA(s)); }

/* One call with valid arguments; returns the bytes left on the stack. */
static int32_t call_routine(FARPROC fn, const struct routine *r) {
  uint32_t args[8];
  BSTR slots[8];
  SAFEARRAY *arrays[8];
  uint32_t count = 0, result = 0, i;
  int32_t left;
  for (i = 0; r->params[i] != '\0' && i < 8; ++i, ++count) {
    slots[i] = NULL;
    arrays[i] = NULL;
    switch (r->params[i]) {
      case 'r': /* read, or replaced by exec_html: released below either way */
        slots[i] = text_of("a=1&b=%3C2%3E");
        args[i] = (uint32_t)(uintptr_t)&slots[i];
        break;
      case 't': /* the routine owns it */
        args[i] = (uint32_t)(uintptr_t)text_of("b");
        break;
      case 'a':
        args[i] = (uint32_t)(uintptr_t)&arrays[i];
        break;
      default:
        args[i] = 0;
        break;
    }
  }
  left = call_as_stdcall(fn, args, count, &result);
  for (i = 0; i < count; ++i) {
    SysFreeString(slots[i]);
    if (arrays[i] != NULL) SafeArrayDestroy(arrays[i]);
  }
  if (r->result == 's') SysFreeString((BSTR)(uintptr_t)result);
  return left;
}

int main(void) {
  const size_t total = sizeof routines / sizeof routines[0];
  size_t i, failed = 0;
  HMODULE dll = LoadLibraryA("cgiecho.dll");
  HMODULE crt = LoadLibraryA("msvcrt.dll");
  uint32_t minus_two = (uint32_t)-2, ignored = 0;
  if (dll == NULL || crt == NULL) {
    printf("FAIL: cannot load cgiecho.dll or msvcrt.dll (error %lu)\n", GetLastError());
    return 1;
  }
  /* The measure must see a cdecl routine for what it is, or every row
   * below would pass whatever the DLL does. */
  if (call_as_stdcall(GetProcAddress(crt, "abs"), &minus_two, 1, &ignored) != 4 || ignored != 2) {
    printf("FAIL: msvcrt's cdecl abs(-2) did not leave its 4 argument bytes\n");
    return 1;
  }
  /* No routine may wait for standard input or find the request elsewhere. */
  SetEnvironmentVariableA("REQUEST_METHOD", "GET");
  SetEnvironmentVariableA("QUERY_STRING", "a=1&b=%3C2%3E");
  SetEnvironmentVariableA("CONTENT_LENGTH", "0");
  for (i = 0; i < total; ++i) {
    const struct routine *r = &routines[i];
    FARPROC fn = GetProcAddress(dll, r->name);
    int32_t left;
    if (fn == NULL) {
      printf("FAIL %s: not exported under its plain name\n", r->name);
      ++failed;
      continue;
    }
    left = call_routine(fn, r);
    if (left != 0) {
      printf("FAIL %s: %ld argument bytes left on the stack (%u pushed)\n", r->name, (long)left,
             (unsigned)(4 * lstrlenA(r->params)));
      ++failed;
    }
  }
  fflush(stdout);
  fprintf(stderr, "%u of %u routines keep the caller's stack pointer\n", (unsigned)(total - failed),
          (unsigned)total);
  return failed == 0 ? 0 : 1;
}
