// Bytes as JSON text: a string when they are UTF-8, base64 when they are
// not, so that every byte a request carried comes out unchanged.
#pragma once

#include <string>
#include <string_view>

namespace cgiecho::inspect {

// Well-formed UTF-8 as RFC 3629 allows it: no overlong forms, no
// surrogates (U+D800 to U+DFFF), nothing past U+10FFFF. NUL is a character
// like any other.
bool is_utf8(std::string_view bytes) noexcept;

// The standard alphabet, padded with "=" to a multiple of four.
void append_base64(std::string_view bytes, std::string& out);

// `bytes` as a JSON string when they are UTF-8, else as the object
// {"base64":"..."}. In a string only '"', '\' and the bytes below 0x20 are
// escaped: \b \t \n \f \r and \" \\ where JSON has a short form, \u00xx
// (lower-case hex) for the other control bytes. Everything else, DEL and
// all of UTF-8 included, is written as it is.
void append_json_text(std::string_view bytes, std::string& out);

}  // namespace cgiecho::inspect
