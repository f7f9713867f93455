// Every input decodes; encoding then decoding gives the input back; and every
// implementation path (scalar, and the vector ones this CPU has) gives the
// same bytes as the dispatching routines.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "codec/url_codec.h"
#include "codec/url_codec_paths.h"

namespace {

using cgiecho::detail::url_path;

bool available(url_path path) { return cgiecho::detail::url_path_available(path); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static constexpr std::string_view kEncodedAlphabet =
      "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz+%";
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  const std::string enc = cgiecho::url_encode(in);
  if (cgiecho::url_decode(enc) != in) std::abort();  // the promised inverse
  if (enc.find_first_not_of(kEncodedAlphabet) != std::string::npos) std::abort();
  const std::string dec = cgiecho::url_decode(in);
  if (dec.size() > in.size()) std::abort();  // never longer

  if (cgiecho::detail::url_encode_scalar(in) != enc) std::abort();
  if (cgiecho::detail::url_decode_scalar(in) != dec) std::abort();
  if (available(url_path::sse2)) {
    if (cgiecho::detail::url_encode_sse2(in) != enc) std::abort();
    if (cgiecho::detail::url_decode_sse2(in) != dec) std::abort();
  }
  if (available(url_path::avx2)) {
    if (cgiecho::detail::url_encode_avx2(in) != enc) std::abort();
    if (cgiecho::detail::url_decode_avx2(in) != dec) std::abort();
  }
  return 0;
}
