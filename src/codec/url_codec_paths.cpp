#include "codec/url_codec_paths.h"

#include "codec/url_codec.h"

namespace cgiecho {
namespace detail {
namespace {

url_path detect_best() {
#if CGIECHO_URL_X86
  // Needed when the first call comes from a static constructor, before the
  // runtime has filled in its CPU model; harmless otherwise.
  __builtin_cpu_init();
  // The check covers the operating system too: AVX2 counts only where the
  // OS saves the wide registers.
  if (__builtin_cpu_supports("avx2")) return url_path::avx2;
  return url_path::sse2;
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

}  // namespace detail

std::string url_encode(std::string_view text) {
  switch (detail::best_url_path()) {
    case detail::url_path::avx2:
      return detail::url_encode_avx2(text);
    case detail::url_path::sse2:
      return detail::url_encode_sse2(text);
    case detail::url_path::scalar:
      break;
  }
  return detail::url_encode_scalar(text);
}

std::string url_decode(std::string_view text) {
  switch (detail::best_url_path()) {
    case detail::url_path::avx2:
      return detail::url_decode_avx2(text);
    case detail::url_path::sse2:
      return detail::url_decode_sse2(text);
    case detail::url_path::scalar:
      break;
  }
  return detail::url_decode_scalar(text);
}

}  // namespace cgiecho
