// Decoding only, so every run goes to the decoder's malformed and
// block- or window-straddling escapes: all paths agree on every input, and
// the result is never longer than the input.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "codec/url_codec_paths.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using cgiecho::detail::url_path;
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  const std::string want = cgiecho::detail::url_decode_on(url_path::scalar, in);
  if (want.size() > in.size()) std::abort();
  for (const url_path p : {url_path::sse2, url_path::avx2}) {
    if (cgiecho::detail::url_path_available(p) && cgiecho::detail::url_decode_on(p, in) != want) std::abort();
  }
  return 0;
}
