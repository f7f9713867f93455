#include "codec/url_codec_paths.h"

#if CGIECHO_URL_X86
#include <cpuid.h>
#endif

namespace cgiecho::detail {
namespace {

#if CGIECHO_URL_X86
// Asked with cpuid on first use, not with the compiler's CPU-model builtins:
// those link a detector that runs at every process start, and the echo
// program, which never encodes, would pay for it on every request.
bool cpu_has_avx2() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  constexpr unsigned kOsXsave = 1u << 27;
  constexpr unsigned kAvx = 1u << 28;
  if ((ecx & kOsXsave) == 0 || (ecx & kAvx) == 0) return false;
  // The operating system must save the wide registers: XCR0 bits 1 and 2.
  unsigned xcr0_low = 0, xcr0_high = 0;
  __asm__ volatile("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
  (void)xcr0_high;
  if ((xcr0_low & 0x6u) != 0x6u) return false;
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
  constexpr unsigned kAvx2 = 1u << 5;
  return (ebx & kAvx2) != 0;
}
#endif

url_path detect_best() {
#if CGIECHO_URL_X86
  return cpu_has_avx2() ? url_path::avx2 : url_path::sse2;
#else
  return url_path::scalar;
#endif
}

}  // namespace

bool url_path_available(url_path path) {
  switch (path) {
    case url_path::scalar:
      return true;
    case url_path::sse2:
      return CGIECHO_URL_X86 != 0;
    case url_path::avx2:
      return best_url_path() == url_path::avx2;
  }
  return false;
}

url_path best_url_path() {
  static const url_path best = detect_best();
  return best;
}

const char* url_path_name(url_path path) {
  switch (path) {
    case url_path::scalar:
      return "scalar";
    case url_path::sse2:
      return "sse2";
    case url_path::avx2:
      return "avx2";
  }
  return "?";
}

}  // namespace cgiecho::detail
