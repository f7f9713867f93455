// A CGI program on the cgiecho core: std::string_view in, std::string out,
// no handles to free. It reads the request as the echo program does (query
// string, POST body or command line), looks up one field, and answers with
// a page in one write.
#include <string>

#include <cgiecho/codec/form_fields.h>
#include <cgiecho/codec/url_codec.h>
#include <cgiecho/output/page.h>
#include <cgiecho/platform/platform.h>
#include <cgiecho/request/acquire.h>

int main() {
  const std::string form = cgiecho::read_request();
  // Names ignore case; a value comes back decoded, with "<" and ">" turned
  // into the bytes 0xAB and 0xBB so that it never carries markup.
  const std::string name = cgiecho::field_value(form, "NAME");
  std::string text = "Hello, " + (name.empty() ? std::string("stranger") : name) + ".\r\n";
  text += std::to_string(cgiecho::count_pairs(form)) + " fields, decoded: " + cgiecho::url_decode(form);
  text += "\r\nyour name encoded again: " + cgiecho::url_encode(name);
  // Header, document type and frame, with every "<" of the text escaped.
  cgiecho::platform::write_stdout(cgiecho::make_page(text, cgiecho::Markup::kEscapeLessThan));
}
