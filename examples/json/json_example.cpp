// A small JSON API on the cgiecho web layer, as a CGI program or a FastCGI
// responder: POST {"numbers": [1, 2, 3.5]} (optionally with a "label"
// string, given back as sent) and get {"count": 3, "sum": 6.5}. Every answer
// is JSON, errors included: {"error": "<code>", "message": "<sentence>"}
// with the status that fits (400 for a body that is no JSON or not the
// shape asked for, 405, 415, and the library's own for a request it
// refuses, such as 413 for a body over its limit).
//
// The body is held whole and parsed into a tree that takes some twenty
// times its size for a list of small numbers (25 MB for 1 MiB), so the
// example takes at most 1 MiB of body, not the library's default of
// 1 GiB; a server that sets CGIECHO_MAX_BODY decides in its place.
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include <cgiecho/platform/platform.h>
#include <cgiecho/serve/serve.h>
#include <cgiecho/web/errors.h>
#include <cgiecho/web/request.h>
#include <cgiecho/web/response.h>

namespace web = cgiecho::web;
namespace platform = cgiecho::platform;
using json = nlohmann::json;

namespace {

// The example's own defaults: the library's, with a body of at most 1 MiB.
web::Limits example_limits() {
  web::Limits limits;
  limits.max_body = std::uint64_t{1} << 20;
  return limits;
}

void log(std::string_view line) {
  if (!platform::stderr_is_answer()) platform::say_on_stderr(line);
}

void send_json(web::Response& response, int status, const json& value) {
  // Every string in `value` is valid UTF-8 (the parser refuses any other),
  // so dump() has nothing to throw about.
  if (auto set = response.status(status); !set) log("status: " + set.error().message());
  if (auto set = response.content_type("application/json", ""); !set) log("type: " + set.error().message());
  if (auto sent = response.send(value.dump() + "\n"); !sent) log("answer: " + sent.error().message());
}

void send_error(web::Response& response, int status, std::string_view code, std::string_view message) {
  send_json(response, status, json{{"error", code}, {"message", message}});
}

// The media type alone, without parameters or blanks, in lower case:
// "Application/JSON; charset=utf-8" is "application/json".
std::string media_type(std::string_view content_type) {
  content_type = content_type.substr(0, content_type.find(';'));
  std::string out;
  for (const char c : content_type)
    if (c != ' ' && c != '\t') out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return out;
}

// The body, wherever the library holds it: in memory, or past
// CGIECHO_MEMORY in a temp file, which body() does not show.
web::result<std::string> whole_body(const web::Request& request) {
  web::BodyStream stream = request.body_stream();
  std::string out;
  char buffer[1 << 14];
  for (;;) {
    const web::result<std::size_t> got = stream.read(buffer, sizeof buffer);
    if (!got) return web::fail(got.error());
    if (*got == 0) return out;
    out.append(buffer, *got);
  }
}

// Whole numbers add up exactly while the sum fits in 64 bits; any other
// number makes the sum a double.
json sum_of(const json& numbers) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  constexpr auto kMaxWhole = static_cast<std::uint64_t>(kMax);
  std::int64_t whole = 0;
  double real = 0;
  bool exact = true;
  for (const json& n : numbers) {
    real += n.get<double>();
    if (!exact) continue;
    const bool whole_number = n.is_number_integer() && !(n.is_number_unsigned() && n.get<std::uint64_t>() > kMaxWhole);
    const std::int64_t v = whole_number ? n.get<std::int64_t>() : 0;
    exact = whole_number && (v > 0 ? whole <= kMax - v : whole >= kMin - v);
    if (exact) whole += v;
  }
  return exact ? json(whole) : json(real);
}

void handle() {
  const web::result<web::Request> request = web::Request::current_with_defaults(example_limits());
  if (!request) {
    web::Response response;
    return send_error(response, request.error().status(), request.error().code_name(), request.error().message());
  }
  web::Response response(*request);

  if (request->method() != "POST") {
    if (auto set = response.header("Allow", "POST"); !set) log("Allow: " + set.error().message());
    return send_error(response, 405, "method_not_allowed", "This API takes POST only.");
  }
  if (media_type(request->content_type()) != "application/json")
    return send_error(response, 415, "unsupported_media_type", "The body must be application/json.");

  const web::result<std::string> body = whole_body(*request);
  if (!body) return send_error(response, body.error().status(), body.error().code_name(), body.error().message());
  // No exceptions: a body that is not JSON (invalid UTF-8 included) parses
  // to a "discarded" value.
  const json in = json::parse(*body, nullptr, /*allow_exceptions=*/false);
  if (in.is_discarded()) return send_error(response, 400, "malformed_json", "The body is not valid JSON.");

  const auto numbers = in.find("numbers");  // end() for anything but an object
  bool all_numbers = numbers != in.end() && numbers->is_array();
  if (all_numbers)
    for (const json& n : *numbers) all_numbers = all_numbers && n.is_number();
  if (!all_numbers)
    return send_error(response, 400, "bad_shape", "The body must be an object with \"numbers\": a list of numbers.");
  const auto label = in.find("label");
  if (label != in.end() && !label->is_string())
    return send_error(response, 400, "bad_shape", "\"label\" must be a string.");

  const json sum = sum_of(*numbers);
  // Past the largest double the sum is infinite, which JSON cannot write.
  if (sum.is_number_float() && !std::isfinite(sum.get<double>()))
    return send_error(response, 400, "sum_out_of_range", "The sum is too large for a number.");
  json out{{"count", numbers->size()}, {"sum", sum}};
  if (label != in.end()) out["label"] = *label;
  send_json(response, 200, out);
}

}  // namespace

int main() {
  if (!platform::start_process()) platform::end_process(255);
  cgiecho::serve(handle);
  platform::end_process(0);
}
