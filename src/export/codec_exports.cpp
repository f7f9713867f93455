// URL codec and form fields.
#include "cgiecho.h"

#include <cgiecho/codec/form_fields.h>
#include <cgiecho/codec/url_codec.h>
#include <cgiecho/request/acquire.h>

#include "export/handle.h"

#include <vector>

using namespace cgiecho;
using namespace cgiecho::exports;

// The encoding is counted first and written once, into the handle returned.
extern "C" cgi_str CGI_CALL CGI_URLENCODE(cgi_str* text) {
  return guarded([&]() -> cgi_str {
    const std::string_view in = view_of(text);
    cgi_str out = new_handle(url_encoded_size(in));
    if (out != nullptr) url_encode_to(in, bytes_of(out));
    return out;
  });
}
// The argument is this routine's own: it is decoded where it lies, and the
// result, never longer, copied once into the handle returned.
extern "C" cgi_str CGI_CALL CGI_DECODE(cgi_str text) {
  const owned_handle arg(text);
  return guarded([&] {
    char* data = arg.data();
    return to_handle({data, url_decode_in_place(data, arg.size())});
  });
}

// The previous array goes first: a call that runs out of memory then
// leaves no array, never the old pairs, which a caller would take for the
// new ones.
extern "C" int32_t CGI_CALL CGI_PARSEPARMS(cgi_str* form, struct tagSAFEARRAY** pairs) {
  return guarded([&]() -> int32_t {
    if (pairs == nullptr || !release_array(pairs)) return 0;
    const std::string_view data = view_of(form);
    std::vector<std::string_view> views;
    views.reserve(count_pairs(data));
    for_each_pair(data, [&](std::string_view pair) { views.push_back(pair); });
    *pairs = array_of_handles(views);
    return *pairs == nullptr ? 0 : static_cast<int32_t>(views.size());
  });
}

extern "C" cgi_str CGI_CALL CGI_VAR(cgi_str* form, cgi_str name) {
  const owned_handle key(name);
  return guarded([&] { return to_handle(field_value(view_of(form), key.view())); });
}
extern "C" cgi_str CGI_CALL CGI_FIELD(cgi_str name) {
  const owned_handle key(name);
  return guarded([&] { return to_handle(field_value(cgi_request_data().view(), key.view())); });
}
