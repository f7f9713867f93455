// One program, two ways to run: started by a web server as a CGI program it
// answers one request; started as a FastCGI responder (lighttpd's bin-path,
// spawn-fcgi) it answers every request the server sends, with the same
// bytes.
#include <string>

#include <cgiecho/codec/form_fields.h>
#include <cgiecho/output/page.h>
#include <cgiecho/request/acquire.h>
#include <cgiecho/serve/serve.h>

int main() {
  cgiecho::serve([] {
    // The query string, the POST body or the command line, as for CGI.
    const std::string form = cgiecho::read_request();
    const std::string name = cgiecho::field_value(form, "name");
    // The first line of every request carries the CGI header.
    cgiecho::write_with_header("Hello, " + (name.empty() ? std::string("stranger") : name) + ".");
    cgiecho::write_with_header(std::to_string(cgiecho::count_pairs(form)) + " fields");
  });
}
