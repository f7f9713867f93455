// URL codec and form fields.
#include "cgiecho.h"
#include "codec/form_fields.h"
#include "codec/url_codec.h"
#include "export/handle.h"
#include "platform/platform.h"
#include "request/state.h"

using namespace cgiecho;
using namespace cgiecho::exports;

extern "C" cgi_str CGI_CALL CGI_URLENCODE(cgi_str* text) {
  return guarded([&] { return to_handle(url_encode(view_of(text))); });
}
extern "C" cgi_str CGI_CALL CGI_DECODE(cgi_str text) {
  const owned_handle arg(text);
  return guarded([&] { return to_handle(url_decode(arg.view())); });
}

extern "C" int32_t CGI_CALL CGI_PARSEPARMS(cgi_str* form, struct tagSAFEARRAY** pairs) {
  return guarded([&]() -> int32_t {
    if (pairs == nullptr) return 0;
    const std::string_view data = view_of(form);
    const std::size_t count = count_pairs(data);
    if (count > static_cast<std::size_t>(INT32_MAX)) return 0;
    platform::destroy_handle_array(*pairs);
    *pairs = static_cast<struct tagSAFEARRAY*>(platform::new_handle_array(static_cast<std::uint32_t>(count)));
    if (*pairs == nullptr) return 0;
    void** slot = platform::handle_array_slots(*pairs);
    for_each_pair(data, [&](std::string_view pair) { *slot++ = to_handle(pair); });
    return static_cast<int32_t>(count);
  });
}

extern "C" cgi_str CGI_CALL CGI_VAR(cgi_str* form, cgi_str name) {
  const owned_handle key(name);
  return guarded([&] { return to_handle(field_value(view_of(form), key.view())); });
}
extern "C" cgi_str CGI_CALL CGI_FIELD(cgi_str name) {
  const owned_handle key(name);
  return guarded([&] { return to_handle(field_value(cgi_request_data(), key.view())); });
}
