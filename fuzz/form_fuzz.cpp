// The pair split and the field lookup on any form data and any name: the
// first byte picks where the name ends.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <cgiecho/codec/form_fields.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view all(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::size_t cut = data[0] % (all.size() + 1);
  const std::string_view name = all.substr(0, cut);
  const std::string_view form = all.substr(cut);

  std::size_t pairs = 0;
  std::size_t bytes = 0;
  cgiecho::for_each_pair(form, [&](std::string_view pair) {
    ++pairs;
    bytes += pair.size();
  });
  if (pairs != cgiecho::count_pairs(form)) std::abort();
  if (pairs > 0 && bytes + pairs - 1 != form.size()) std::abort();  // nothing lost, nothing added

  const std::string value = cgiecho::field_value(form, name);
  if (value.find_first_of("<>\x07\x08") != std::string::npos) std::abort();
  if (value.size() > form.size()) std::abort();
  return 0;
}
