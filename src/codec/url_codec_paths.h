// The separate implementations behind url_encode and url_decode, so tests,
// the fuzz target and the benchmark can hold them against each other. Every
// path gives the same bytes for every input; they differ only in speed.
#pragma once

#include <string>
#include <string_view>

// The vector paths need x86-64 (where SSE2 is always present) and the GNU
// builtins for target attributes and CPU detection (gcc, clang, mingw-w64).
#if defined(__x86_64__) && defined(__GNUC__)
#define CGIECHO_URL_X86 1
#else
#define CGIECHO_URL_X86 0
#endif

namespace cgiecho::detail {

enum class url_path { scalar, sse2, avx2 };

// Whether this build and this CPU can run the path. The scalar path always can.
bool url_path_available(url_path path);

// The fastest available path; url_encode and url_decode use it.
url_path best_url_path();

const char* url_path_name(url_path path);

// Calling a path that is not available is undefined (an AVX2 instruction on a
// CPU without it faults). Where the build has no vector paths, the vector
// names run the scalar code.
std::string url_encode_scalar(std::string_view text);
std::string url_encode_sse2(std::string_view text);
std::string url_encode_avx2(std::string_view text);

std::string url_decode_scalar(std::string_view text);
std::string url_decode_sse2(std::string_view text);
std::string url_decode_avx2(std::string_view text);

}  // namespace cgiecho::detail
