/// @file
/// The bytes of a CGI response.
#pragma once

#include <string>
#include <string_view>

namespace cgiecho {

/// The CGI header line of every page (without its line break).
inline constexpr std::string_view kHeaderLine = "Content-type: text/html";
/// What comes before a page's text: the header, the blank line, the
/// document type and the opening tags.
inline constexpr std::string_view kPageHead =
    "Content-type: text/html\r\n\r\n"
    "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0 Transitional//EN\">\r\n"
    "<html><body>";
/// What comes after a page's text.
inline constexpr std::string_view kPageTail = "\r\n</body></html>";
/// The bytes a page adds around its text.
inline constexpr std::size_t kPageFrameSize = kPageHead.size() + kPageTail.size();

/// Whether a page's text goes out as it is, or with each "<" as "&lt;".
enum class Markup { kAsIs, kEscapeLessThan };

/// Header, blank line, document type and frame around `text`: always
/// kPageHead.size() + kPageTail.size() = 119 bytes more than the text, plus
/// 3 per "<" when each becomes "&lt;".
std::string make_page(std::string_view text, Markup markup = Markup::kAsIs);

/// make_page(text) written at out, which has room for exactly
/// kPageFrameSize + text.size() bytes: a page whose home is known up front is
/// built there, not copied there.
void frame_to(std::string_view text, char* out);

/// The text, then CR LF, as two writes.
void write_line(std::string_view text);

/// write_line, preceded the first time in the process by the CGI header line
/// and the blank line that ends the header.
void write_with_header(std::string_view text);

/// Whether write_with_header has put the CGI header out yet; false again
/// after clear_header_sent.
bool& cgi_header_sent();
/// Forgets that the header went out (for tests, and a FastCGI responder's
/// next request).
void clear_header_sent();

}  // namespace cgiecho
