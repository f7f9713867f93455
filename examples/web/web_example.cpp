// A CGI program on the cgiecho web layer: the request read within limits,
// a query field and a cookie looked up, and an answer with a status, a
// cookie and escaped HTML, in one write. Nothing throws: errors are values.
#include <string>

#include <cgiecho/web.h>  // the whole web layer in one include

namespace web = cgiecho::web;

int main() {
  web::Request request;
  if (const web::errc e = web::Request::from_current(web::Limits{}, request); e != web::errc::ok) {
    // Each error names itself and carries the status to answer with.
    web::ResponseHead head;
    head.status(web::http_status(e));
    head.content_type("text/plain");
    head.send(std::string(web::code_name(e)) + "\n");
    return 0;
  }
  std::string name = "stranger";
  if (const web::Field* field = request.arg("name")) field->value(name);  // "+" and %XX decoded
  const web::Cookie* theme = request.cookie("theme");                      // quotes taken off

  std::string page = "<p>Hello, " + web::html_escape(name) + ".</p>\n";
  page += "<p>Theme: " + web::html_escape(theme ? theme->value : "none") + "</p>\n";
  web::ResponseHead head(request);  // a HEAD request gets the header block alone
  head.status(200);
  head.set_cookie({"seen", "1", "/"});  // Secure, HttpOnly and SameSite=Lax unless told otherwise
  head.send(page);                      // head and page in one write
}
