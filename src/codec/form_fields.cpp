#include <cgiecho/codec/form_fields.h>

#include <algorithm>
#include <cstring>

#include <cgiecho/codec/url_codec.h>

#include "codec/ucase.h"

namespace cgiecho {
namespace {

// Compares without making an upper-cased copy of the pair.
bool starts_with_key(std::string_view pair, std::string_view key) {
  if (pair.size() < key.size()) return false;
  for (std::size_t i = 0; i < key.size(); ++i)
    if (kUpper(pair[i]) != key[i]) return false;
  return true;
}

void neutralise(std::string& value) {
  for (char& c : value) {
    switch (c) {
      case '<': c = static_cast<char>(0xAB); break;
      case '>': c = static_cast<char>(0xBB); break;
      case '\x07': c = '&'; break;
      case '\x08': c = '%'; break;
      default: break;
    }
  }
}

}  // namespace

std::size_t count_pairs(std::string_view form) {
  if (form.empty()) return 0;
  return static_cast<std::size_t>(std::count(form.begin(), form.end(), '&')) + 1;
}

std::string field_value(std::string_view form, std::string_view name) {
  if (form.empty()) return {};  // one empty pair: matches no key
  std::string key = cgi_ucase(name);
  key += '=';
  // A pair never holds "&", so such a key matches nothing.
  if (key.find('&') != std::string::npos) return {};
  const char first = key[0];
  const char* p = form.data();
  const char* const end = p + form.size();
  for (;;) {
    const auto* amp = static_cast<const char*>(std::memchr(p, '&', static_cast<std::size_t>(end - p)));
    const char* pair_end = amp ? amp : end;
    if (p != pair_end && kUpper(*p) == first) {
      const std::string_view pair(p, static_cast<std::size_t>(pair_end - p));
      if (starts_with_key(pair, key)) {
        std::string value = url_decode(pair.substr(key.size()));
        neutralise(value);
        return value;
      }
    }
    if (!amp) return {};
    p = amp + 1;
  }
}

}  // namespace cgiecho
