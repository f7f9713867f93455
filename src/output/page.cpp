#include <cgiecho/output/page.h>

#include <cstring>

#include <cgiecho/platform/platform.h>

namespace cgiecho {
namespace {

std::size_t count_less_than(std::string_view text) {
  std::size_t count = 0;
  const char* p = text.data();
  const char* end = p + text.size();
  while (p != end && (p = static_cast<const char*>(std::memchr(p, '<', static_cast<std::size_t>(end - p))))) {
    ++count;
    ++p;
  }
  return count;
}

}  // namespace

std::string make_page(std::string_view text, Markup markup) {
  // Escaping happens while the page is assembled, so the escaped text is
  // never a string of its own, and text without "<" is copied once.
  const std::size_t escapes = markup == Markup::kEscapeLessThan ? count_less_than(text) : 0;
  std::string page;
  page.reserve(kPageHead.size() + text.size() + 3 * escapes + kPageTail.size());
  page += kPageHead;
  if (escapes == 0) {
    page += text;
  } else {
    std::size_t from = 0;
    for (std::size_t at = text.find('<'); at != std::string_view::npos; at = text.find('<', from)) {
      page.append(text, from, at - from);
      page += "&lt;";
      from = at + 1;
    }
    page.append(text, from);
  }
  page += kPageTail;
  return page;
}

void frame_to(std::string_view text, char* out) {
  std::memcpy(out, kPageHead.data(), kPageHead.size());
  out += kPageHead.size();
  if (!text.empty()) std::memcpy(out, text.data(), text.size());
  std::memcpy(out + text.size(), kPageTail.data(), kPageTail.size());
}

void write_line(std::string_view text) {
  platform::write_stdout(text);
  platform::write_stdout("\r\n");
}

void write_with_header(std::string_view text) {
  if (!cgi_header_sent()) {
    write_line(std::string(kHeaderLine) + "\r\n");
    cgi_header_sent() = true;
  }
  write_line(text);
}

bool& cgi_header_sent() {
  static bool sent = false;
  return sent;
}

void clear_header_sent() { cgi_header_sent() = false; }

}  // namespace cgiecho
