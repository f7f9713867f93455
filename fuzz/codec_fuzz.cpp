// Every input decodes; encoding then decoding gives the input back.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "codec/url_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static constexpr std::string_view kEncodedAlphabet =
      "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz+%";
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  const std::string enc = cgiecho::url_encode(in);
  if (cgiecho::url_decode(enc) != in) std::abort();  // the promised inverse
  if (enc.find_first_not_of(kEncodedAlphabet) != std::string::npos) std::abort();
  if (cgiecho::url_decode(in).size() > in.size()) std::abort();  // never longer
  return 0;
}
