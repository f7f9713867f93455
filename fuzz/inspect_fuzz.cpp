// The inspector. The input's first byte picks one of two checks:
//  - text: is_utf8 agrees with the plain decoder the tests share, and
//    append_json_text gives either a JSON string that reads back as the
//    bytes, or a base64 object that decodes to them;
//  - answer: a request with a content type, limits and a body taken from
//    the input, the body handed over in pieces of an input-chosen size,
//    answers exactly as with the body in one piece, in one write, with a
//    head and a JSON object after it.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

#include "inspect/inspect.h"
#include "inspect/text.h"
#include "support/platform_fake.h"
#include "support/utf8_reference.h"

namespace {

using cgiecho::test::reference_utf8;

std::string plain_base64_decode(std::string_view s) {
  static constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (s.size() % 4 != 0) std::abort();
  std::string out;
  for (std::size_t i = 0; i < s.size(); i += 4) {
    std::uint32_t v = 0;
    int pad = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const char c = s[i + k];
      if (c == '=') {
        ++pad;
        v <<= 6;
        continue;
      }
      const std::size_t at = kAlphabet.find(c);
      if (at == std::string_view::npos || pad > 0) std::abort();
      v = v << 6 | static_cast<std::uint32_t>(at);
    }
    out += static_cast<char>(v >> 16);
    if (pad < 2) out += static_cast<char>(v >> 8);
    if (pad < 1) out += static_cast<char>(v);
  }
  return out;
}

// A JSON string read back by the rules of RFC 8259, as a client would.
std::string plain_json_string(std::string_view j) {
  if (j.size() < 2 || j.front() != '"' || j.back() != '"') std::abort();
  std::string out;
  for (std::size_t i = 1; i + 1 < j.size(); ++i) {
    const auto c = static_cast<unsigned char>(j[i]);
    if (c < 0x20 || c == '"') std::abort();  // must have been escaped
    if (c != '\\') {
      out += j[i];
      continue;
    }
    const char e = j[++i];
    if (e == 'u') {
      const std::string hex(j.substr(i + 1, 4));
      if (hex.size() != 4) std::abort();
      out += static_cast<char>(std::strtoul(hex.c_str(), nullptr, 16));
      i += 4;
    } else {
      const std::string_view shorts = "\"\"\\\\//b\bf\fn\nr\rt\t";
      const std::size_t at = shorts.find(e);
      if (at == std::string_view::npos || at % 2 != 0) std::abort();
      out += shorts[at + 1];
    }
  }
  return out;
}

void check_text(std::string_view in) {
  const bool utf8 = cgiecho::inspect::is_utf8(in);
  if (utf8 != reference_utf8(in)) std::abort();
  std::string j;
  cgiecho::inspect::append_json_text(in, j);
  constexpr std::string_view kOpen = "{\"base64\":\"";
  if (utf8) {
    if (plain_json_string(j) != in) std::abort();
  } else {
    if (j.substr(0, kOpen.size()) != kOpen || j.substr(j.size() - 2) != "\"}") std::abort();
    if (plain_base64_decode(std::string_view(j).substr(kOpen.size(), j.size() - kOpen.size() - 2)) != in) std::abort();
  }
}

std::string answer(const std::map<std::string, std::string>& env, const std::string& body, std::size_t piece) {
  cgiecho::fake::reset();
  auto& p = cgiecho::fake::process();
  p.environment = env;
  for (std::size_t at = 0; at < body.size(); at += piece) p.stdin_pieces.push_back(body.substr(at, piece));
  cgiecho::inspect::answer_request({});
  if (p.writes.size() != 1) std::abort();
  return p.written();
}

void check_answer(std::string_view in) {
  static const char* const kTypes[] = {"application/x-www-form-urlencoded", "multipart/form-data; boundary=b",
                                       "text/plain", "multipart/form-data; boundary=\"b\"; x=y"};
  if (in.size() < 3) return;
  const auto choice = static_cast<unsigned char>(in[0]);
  const std::size_t piece = static_cast<unsigned char>(in[1]) % 16 + 1;
  const std::string body(in.substr(2));
  std::map<std::string, std::string> env = {{"REQUEST_METHOD", "POST"},
                                            {"CONTENT_TYPE", kTypes[choice % 4]},
                                            {"QUERY_STRING", body.substr(0, choice % 7)}};
  // Now and then the length is short of the body, or the limits are tight.
  env["CONTENT_LENGTH"] = std::to_string(choice & 0x10 ? body.size() + 1 : body.size());
  if (choice & 0x20) env["CGIECHO_MAX_PARTS"] = "2";
  if (choice & 0x40) env["CGIECHO_MAX_PART_HEADER"] = "40";
  if (choice & 0x80) env["CGIECHO_MAX_FORM"] = "8";
  const std::string whole = answer(env, body, body.size() + 1);
  if (answer(env, body, piece) != whole) std::abort();
  const std::size_t end = whole.find("\r\n\r\n");
  if (whole.rfind("Status: ", 0) != 0 || end == std::string::npos) std::abort();
  if (whole.compare(end + 4, 1, "{") != 0 || whole.substr(whole.size() - 2) != "}\n") std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view in(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] & 1) {
    check_answer(in);
  } else {
    check_text(in);
  }
  return 0;
}
