/// @file
/// The decoder's separate implementations, so tests, the fuzz target and the
/// benchmark can hold them against each other. Every path gives the same
/// bytes for every input; they differ only in speed. (The encoder has one:
/// it is bound by writing its output, and vector loops measured no faster.)
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

/// @cond INTERNAL
// The vector paths need x86-64 (where SSE2 is always present) and the GNU
// builtins for target attributes and CPU detection (gcc, clang, mingw-w64).
#if defined(__x86_64__) && defined(__GNUC__)
#define CGIECHO_URL_X86 1
#else
#define CGIECHO_URL_X86 0
#endif
/// @endcond

namespace cgiecho::detail {

/// The decoder's implementations: plain C++, SSE2 and AVX2 loops.
enum class url_path { scalar, sse2, avx2 };

/// Whether this build and this CPU can run the path. The scalar path always can.
bool url_path_available(url_path path);

/// The fastest available path; url_decode and url_decode_in_place use it.
url_path best_url_path();

/// "scalar", "sse2" or "avx2", for reports.
const char* url_path_name(url_path path);

/// url_decode_in_place on the given path. Calling a path that is not
/// available is undefined (an AVX2 instruction on a CPU without it faults).
/// Where the build has no vector paths, the vector names run the scalar code.
std::size_t url_decode_in_place(url_path path, char* data, std::size_t size);

/// The same on a copy of text.
std::string url_decode_on(url_path path, std::string_view text);

}  // namespace cgiecho::detail

/// @namespace cgiecho::detail
/// The decoder's separate paths, for tests and benchmarks.
