// One whole request through echo_request on the scripted platform: the
// input picks the method, QUERY_STRING, CONTENT_LENGTH, the body and the
// sizes its reads arrive in, and the command-line tail; or it is a capture
// file, and the request it holds runs. The single write must be the page
// the rules give, rendered here plainly on its own.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "echo/echo.h"
#include "request/number.h"

#include "capture_seed.h"
#include "support/platform_fake.h"

namespace {

// Fields taken from the front of the input; past its end they are empty.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : rest_(reinterpret_cast<const char*>(data), size) {}
  std::uint8_t byte() {
    if (rest_.empty()) return 0;
    const auto b = static_cast<std::uint8_t>(rest_[0]);
    rest_.remove_prefix(1);
    return b;
  }
  std::uint32_t u32() {
    std::uint32_t n = 0;
    for (int i = 0; i < 4; ++i) n = n << 8 | byte();
    return n;
  }
  std::string text(std::size_t max_size) {
    const std::size_t size = max_size == 0 ? 0 : (std::size_t{byte()} << 8 | byte()) % (max_size + 1);
    std::string s(rest_.substr(0, size));
    rest_.remove_prefix(s.size());
    return s;
  }
  std::string all() {
    std::string s(rest_);
    rest_ = {};
    return s;
  }

 private:
  std::string_view rest_;
};

// CONTENT_LENGTH as a client writes it, and what the number rule makes of
// it: the body's size, a decimal number, unset, or any text.
struct Length {
  bool set = false;
  bool of_body = false;  // the body's own size, filled in once it is known
  std::string text;
  std::int64_t value = 0;  // out of range reads as negative: no body
};

Length content_length(Reader& in) {
  Length length;
  switch (in.byte() % 4) {
    case 0:
      length.set = length.of_body = true;
      break;
    case 1: {
      const std::uint32_t n = in.u32() >> (in.byte() % 32);  // small numbers as often as large
      length = {true, false, std::to_string(n), n > 2147483647u ? -1 : static_cast<std::int64_t>(n)};
      break;
    }
    case 2:
      break;
    default:
      length.set = true;
      length.text = in.text(24);
      length.value = cgiecho::cgi_val(length.text);  // the number rule has a target of its own
  }
  return length;
}

// The page the rules give for the request.
std::string expected_page(const std::string& method, bool method_set, const std::string& query,
                          const Length& length, const std::string& body, const std::string& tail) {
  std::string data;
  if (method_set && (method == "GET" || method == "PUT" || method == "HEAD")) {
    data = query;
  } else if (method_set && method == "POST") {
    if (length.value > 0) data = body.substr(0, static_cast<std::size_t>(length.value));
  } else {
    data = tail;
  }
  std::string shown;
  if (data.compare(0, 12, "nosanitize=1") == 0) {
    shown = data;
  } else {
    for (const char c : data) {
      if (c == '<') {
        shown += "&lt;";
      } else {
        shown += c;
      }
    }
  }
  return "Content-type: text/html\r\n\r\n"
         "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0 Transitional//EN\">\r\n"
         "<html><body>" +
         shown + "\r\n</body></html>";
}

// A captured request: its variables (the first of a name, as getenv finds
// it), command-line tail and body.
void run_capture(const cgiecho::capture::Capture& c) {
  cgiecho::fake::reset();
  auto& p = cgiecho::fake::process();
  for (const auto& [name, value] : c.params) p.environment.emplace(name, value);
  p.command_tail = c.argv.value_or("");
  const std::string body = c.body ? c.body->bytes : "";
  if (!body.empty()) p.stdin_pieces.push_back(body);
  const auto method = p.environment.find("REQUEST_METHOD");
  const auto query = p.environment.find("QUERY_STRING");
  const auto length_text = p.environment.find("CONTENT_LENGTH");
  Length length;
  if (length_text != p.environment.end()) length = {true, false, length_text->second, cgiecho::cgi_val(length_text->second)};
  const std::string want =
      expected_page(method == p.environment.end() ? "" : method->second, method != p.environment.end(),
                    query == p.environment.end() ? "" : query->second, length, body, p.command_tail);

  cgiecho::echo_request();

  if (p.writes.size() != 1 || p.writes[0] != want) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  cgiecho::capture::Capture seed;
  if (read_capture_seed(data, size, seed)) {
    run_capture(seed);
    return 0;
  }
  static const char* const kMethods[] = {"GET", "PUT", "HEAD", "POST", "get", "POST ", "GETS", "OPTIONS", ""};
  Reader in(data, size);
  const std::uint8_t pick = in.byte() % 11;  // 9: any bytes; 10: unset
  const bool method_set = pick < 10;
  const std::string method = pick < 9 ? kMethods[pick] : pick == 9 ? in.text(8) : "";
  Length length = content_length(in);
  const std::string query = in.text(4096);
  const std::string tail = in.text(4096);
  std::size_t piece_sizes[4];
  for (auto& s : piece_sizes) s = std::size_t{in.byte()} * 157 % 40000 + 1;
  const std::string body = in.all();
  if (length.of_body) {
    length.text = std::to_string(body.size());
    length.value = static_cast<std::int64_t>(body.size());
  }

  cgiecho::fake::reset();
  auto& p = cgiecho::fake::process();
  if (method_set) p.environment["REQUEST_METHOD"] = method;
  p.environment["QUERY_STRING"] = query;
  if (length.set) p.environment["CONTENT_LENGTH"] = length.text;
  p.command_tail = tail;
  for (std::size_t at = 0, i = 0; at < body.size(); at += p.stdin_pieces.back().size(), ++i)
    p.stdin_pieces.push_back(body.substr(at, piece_sizes[i % 4]));

  cgiecho::echo_request();

  if (p.writes.size() != 1) std::abort();  // the page goes out in one write
  if (p.writes[0] != expected_page(method, method_set, query, length, body, tail)) std::abort();
  return 0;
}
