// A CGI program on the cgiecho web layer: the request read within the
// server's limits, a query field and a cookie looked up, and an answer with
// a cookie and escaped HTML, in one write. Nothing throws on a bad request:
// errors are values.
#include <string>

#include <cgiecho/web.h>  // the whole web layer in one include

namespace web = cgiecho::web;

int main() {
  const auto request = web::Request::current();  // the server's CGIECHO_MAX_* limits apply
  if (!request) {
    // Each error names itself and carries the status to answer with.
    web::Response response;
    (void)response.status(request.error().status());
    (void)response.content_type("text/plain");
    (void)response.send(std::string(request.error().code_name()) + "\n");
    return 0;
  }
  const std::string name = request->arg("name").value_or("stranger");  // "+" and %XX decoded
  const std::string theme = request->cookie("theme").value_or("none");  // quotes taken off

  web::Response response(*request);  // a HEAD request gets the header block alone
  // Secure when the request came over HTTPS or to localhost; HttpOnly and
  // SameSite=Lax unless told otherwise.
  if (!response.set_cookie(web::SetCookie("seen", "1").path("/"))) return 1;
  const auto sent = response.send("<p>Hello, " + web::html_escape(name) + ".</p>\n" +  // head and page in one write
                                  "<p>Theme: " + web::html_escape(theme) + "</p>\n");
  return sent ? 0 : 1;
}
