#include <cgiecho/web/form.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "text/hex.h"

namespace cgiecho::web {
namespace {

const unsigned char* bytes_of(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }

// Decoded name against `name`, a byte at a time, so that no copy is made
// and the first difference ends it.
bool decoded_equals(std::string_view raw, std::string_view name) {
  // Decoding never lengthens, and shortens by at most two bytes in three.
  if (name.size() > raw.size() || name.size() < raw.size() / 3) return false;
  const unsigned char* r = bytes_of(raw);
  const unsigned char* w = bytes_of(name);
  // Up to the first "+" or "%", raw and decoded bytes are the same ones at
  // the same places: a plain comparison, which is all most names need.
  std::size_t i = 0;
  while (i < name.size() && r[i] == w[i] && r[i] != '+' && r[i] != '%') ++i;
  if (i == raw.size() || (r[i] != '+' && r[i] != '%')) return i == raw.size() && i == name.size();
  for (std::size_t j = i; j < name.size(); ++j) {
    if (i == raw.size() || text::take_form_byte(r, raw.size(), i) != w[j]) return false;
  }
  return i == raw.size();
}

}  // namespace

std::size_t form_decode_to(std::string_view raw, char* out) noexcept { return text::form_decode_to(raw, out); }

result<std::string> form_decode(std::string_view raw) noexcept {
  try {
    std::string decoded(raw.size(), '\0');
    decoded.resize(form_decode_to(raw, decoded.data()));
    return decoded;
  } catch (const std::bad_alloc&) {
    return fail(errc::out_of_memory);
  }
}

namespace {

// A url-encoded field's bytes decoded, a multipart text part's as sent.
result<std::string> field_bytes(std::string_view raw, bool encoded) noexcept {
  if (encoded) return form_decode(raw);
  try {
    return std::string(raw);
  } catch (const std::bad_alloc&) {
    return fail(errc::out_of_memory);
  }
}

}  // namespace

result<std::string> Field::name() const noexcept { return field_bytes(raw_name, encoded); }
result<std::string> Field::value() const noexcept { return field_bytes(raw_value, encoded); }

bool Field::name_is(std::string_view wanted) const noexcept {
  return encoded ? decoded_equals(raw_name, wanted) : raw_name == wanted;
}

result<std::vector<Field>> parse_urlencoded(std::string_view text, std::uint64_t max_fields,
                                           errc too_many) noexcept {
  try {
    // One allocation for every field, sized by the pieces that are not
    // empty: a text of nothing but "&" reserves nothing, however high the
    // limit. Past the limit nothing is taken at all.
    const auto* t = reinterpret_cast<const unsigned char*>(text.data());
    std::uint64_t count = !text.empty() && t[0] != '&';
    for (std::size_t i = 1; i < text.size(); ++i)  // without a branch, so that it vectorises
      count += static_cast<std::uint64_t>(static_cast<unsigned>(t[i] != '&') & static_cast<unsigned>(t[i - 1] == '&'));
    if (count > max_fields) return fail(too_many);
    std::vector<Field> out;
    out.reserve(static_cast<std::size_t>(count));

    const char* p = text.data();
    const char* const end = p + text.size();
    while (p != end) {
      const auto* amp = static_cast<const char*>(std::memchr(p, '&', static_cast<std::size_t>(end - p)));
      const char* piece_end = amp != nullptr ? amp : end;
      if (piece_end != p) {
        const std::size_t length = static_cast<std::size_t>(piece_end - p);
        const auto* eq = static_cast<const char*>(std::memchr(p, '=', length));
        Field& f = out.emplace_back();
        if (eq != nullptr) {
          f.raw_name = std::string_view(p, static_cast<std::size_t>(eq - p));
          f.raw_value = std::string_view(eq + 1, static_cast<std::size_t>(piece_end - eq - 1));
        } else {
          f.raw_name = std::string_view(p, length);
          f.raw_value = std::string_view(piece_end, 0);  // empty, and still inside the text
        }
      }
      if (amp == nullptr) break;
      p = amp + 1;
    }
    return out;
  } catch (const std::bad_alloc&) {
    return fail(errc::out_of_memory);
  }
}

const Field* find_field(const std::vector<Field>& fields, std::string_view name) noexcept {
  for (const Field& f : fields)
    if (f.name_is(name)) return &f;
  return nullptr;
}

}  // namespace cgiecho::web
