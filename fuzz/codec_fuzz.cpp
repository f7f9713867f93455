// Every input decodes; encoding then decoding gives the input back; the
// encoding is written into a buffer of exactly its counted length (a store
// past it is a heap overflow to the sanitizer); and every decoder path
// (scalar, and the vector ones this CPU has) gives the same bytes as the
// dispatching routines, in place and on a copy.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include <cgiecho/codec/url_codec.h>

#include "codec/url_codec_paths.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using cgiecho::detail::url_path;
  static constexpr std::string_view kEncodedAlphabet =
      "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz+%";
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  const std::string enc = cgiecho::url_encode(in);
  if (cgiecho::url_decode(enc) != in) std::abort();  // the promised inverse
  if (enc.find_first_not_of(kEncodedAlphabet) != std::string::npos) std::abort();
  if (cgiecho::url_encoded_size(in) != enc.size()) std::abort();
  const std::unique_ptr<char[]> exact(new char[enc.size()]);
  cgiecho::url_encode_to(in, exact.get());
  if (std::memcmp(exact.get(), enc.data(), enc.size()) != 0) std::abort();

  const std::string dec = cgiecho::url_decode(in);
  if (dec.size() > in.size()) std::abort();  // never longer
  std::string copy(in);
  if (std::string_view(copy.data(), cgiecho::url_decode_in_place(copy.data(), copy.size())) != dec) std::abort();
  for (const url_path p : {url_path::scalar, url_path::sse2, url_path::avx2}) {
    if (cgiecho::detail::url_path_available(p) && cgiecho::detail::url_decode_on(p, in) != dec) std::abort();
  }
  return 0;
}
