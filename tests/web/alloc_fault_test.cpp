// The web layer's calls with each of their allocations failing in turn:
// every one ends with errc::out_of_memory and its output as it was, or
// succeeds as without the failure; none throws, none leaks. And the
// lookups promised to allocate nothing are counted.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <cgiecho/web/cookies.h>
#include <cgiecho/web/form.h>
#include <cgiecho/web/limits.h>
#include <cgiecho/web/request.h>
#include <cgiecho/web/response.h>

#include "support/alloc_fault.h"
#include "support/platform_fake.h"

namespace {

using cgiecho::fake::process;
using cgiecho::test::allocations;
using cgiecho::web::errc;
namespace web = cgiecho::web;

struct Row {
  std::string what;
  std::function<void()> setup;        // fresh inputs and outputs for one call
  std::function<errc()> call;
  std::function<std::string()> state;  // what the call leaves, as text
};

std::string text_of(const std::vector<web::Field>& fields) {
  std::string s;
  for (const auto& f : fields) s.append(f.raw_name).append("=").append(f.raw_value).append("|");
  return s;
}

std::string text_of(const web::Request& r) {
  std::string s(r.method());
  s += "|" + text_of(r.raw_args()) + text_of(r.raw_form());
  for (const auto& c : r.raw_cookies()) s.append(c.name).append("=").append(c.value).append(";");
  s.append("|").append(r.body());
  return s;
}

// Inputs long enough that no string of theirs fits in a string object.
const std::string kForm = "first=some+longer+value&second=%3Cvalue%3E+past+sixteen&third&fourth=4";
const std::string kCookies = "session=\"a value past sixteen\"; junk; theme=dark; other=value";

// What the rows read and write, made in each row's setup and released
// whole after each call, so that blocks left behind can be counted.
std::optional<std::vector<web::Field>> g_fields;
std::optional<std::vector<web::Cookie>> g_cookies;
std::optional<std::string> g_text;
std::optional<web::Response> g_head;
std::optional<web::SetCookie> g_cookie;
std::optional<web::Request> g_request;
std::optional<web::Variables> g_variables;
std::optional<std::string> g_body;

void release_all() {
  g_fields.reset();
  g_cookies.reset();
  g_text.reset();
  g_head.reset();
  g_cookie.reset();
  g_request.reset();
  g_variables.reset();
  g_body.reset();
  cgiecho::fake::reset();
}

std::string text_of_cookies() {
  std::string s;
  for (const auto& c : *g_cookies) s.append(c.name).append("=").append(c.value).append(";");
  return s;
}

web::Variables form_request() {
  return {{"REQUEST_METHOD", "POST"}, {"QUERY_STRING", kForm}, {"HTTP_COOKIE", kCookies},
          {"CONTENT_TYPE", "application/x-www-form-urlencoded"}, {"CONTENT_LENGTH", std::to_string(kForm.size())}};
}

// A response call's code; the calls that keep a copy of a name may throw
// std::bad_alloc as the standard library does, and must then leave the
// response as it was.
errc code(const std::function<web::result<void>()>& call) {
  try {
    const web::result<void> r = call();
    return r ? errc::ok : r.error().code();
  } catch (const std::bad_alloc&) {
    return errc::out_of_memory;
  }
}

// A call's value moved into what the row reads (so a failure leaves it as
// it was); its code either way.
template <class T>
errc kept(web::result<T> r, std::optional<T>& into) {
  if (!r) return r.error().code();
  *into = std::move(*r);
  return errc::ok;
}

std::vector<Row> rows() {
  const auto fields_state = [] { return text_of(*g_fields); };
  const auto text_state = [] { return *g_text; };
  const auto head_state = [] { return std::string(g_head->text()) + "#" + process().written(); };
  const auto head_setup = [] {
    g_head.emplace();
    EXPECT_TRUE(g_head->header("X-Before", "a header value past sixteen"));
    g_cookie.emplace("session", "a-value-past-sixteen");
    g_cookie->path("/app");
  };
  const auto request_state = [] { return text_of(*g_request); };
  return {
      {"parse_urlencoded", [] { g_fields.emplace(1, web::Field{"kept", "", false}); },
       [] { return kept(web::parse_urlencoded(kForm, 100, errc::too_many_fields), g_fields); }, fields_state},
      {"form_decode", [] { g_text.emplace("previous"); }, [] { return kept(web::form_decode(kForm), g_text); },
       text_state},
      {"Field::value", [] { g_text.emplace("previous"); },
       [] { return kept(web::Field{"n", "a+value+%3C+past+sixteen", true}.value(), g_text); }, text_state},
      {"Field::name, sent as is", [] { g_text.emplace("previous"); },
       [] { return kept(web::Field{"a name past sixteen bytes", "", false}.name(), g_text); }, text_state},
      {"parse_cookies", [] { g_cookies.emplace(1, web::Cookie{"kept", ""}); },
       [] { return kept(web::parse_cookies(kCookies, 100), g_cookies); }, text_of_cookies},
      {"html_escape", [] { g_text.emplace("kept|"); },
       [] { return code([] { return web::html_escape("<a href=\"x\">O'Neil & co</a>", *g_text); }); }, text_state},
      {"status", head_setup, [] { return code([] { return g_head->status(404); }); }, head_state},
      {"content_type", head_setup, [] { return code([] { return g_head->content_type("application/json"); }); },
       head_state},
      {"header", head_setup,
       [] { return code([] { return g_head->header("X-Other", "another value past sixteen"); }); }, head_state},
      {"set_cookie", head_setup, [] { return code([] { return g_head->set_cookie(*g_cookie); }); }, head_state},
      {"redirect", head_setup,
       [] { return code([] { return g_head->redirect("https://example.com/a/path/past/sixteen"); }); }, head_state},
      {"send", head_setup, [] { return code([] { return g_head->send("<p>a body past sixteen bytes</p>"); }); },
       head_state},
      {"from_parts",
       [] {
         g_request.emplace();
         g_variables.emplace(form_request());
         g_body.emplace(kForm);
       },
       [] { return kept(web::Request::from_parts(std::move(*g_variables), std::move(*g_body)), g_request); },
       request_state},
      {"from_current",
       [] {
         g_request.emplace();
         for (auto& [name, value] : form_request()) process().environment[name] = value;
         process().stdin_pieces = {kForm.substr(0, 20), kForm.substr(20)};
       },
       [] { return kept(web::Request::current(web::Limits{}), g_request); }, request_state},
  };
}

// One call with the n-th of its allocations failing (0: none): what it
// returned and the state it left, and the blocks it left once the state is
// released.
struct Outcome {
  errc e = errc::ok;
  std::string state;
  std::size_t allocations = 0;
  std::size_t left = 0;
};

void call_once(const Row& row, std::size_t fail_nth, std::string& before, Outcome& out) {
  release_all();
  const std::size_t live = allocations().live;
  {
    row.setup();
    std::string state = row.state();
    const std::size_t made = allocations().made;
    allocations().fail_at = fail_nth == 0 ? 0 : made + fail_nth;
    out.e = row.call();
    allocations().fail_at = 0;
    out.allocations = allocations().made - made;
    before.assign(state);
    out.state = row.state();
  }
  release_all();
  out.left = allocations().live - live;
}

TEST(WebAllocationFailure, EveryAllocationFailsCleanly) {
  // Room for the records made up front, so recording them allocates nothing.
  std::string before, ignored;
  Outcome normal, failed;
  for (std::string* s : {&before, &ignored, &normal.state, &failed.state}) s->reserve(4096);
  for (const Row& row : rows()) {
    SCOPED_TRACE(row.what);
    call_once(row, 0, ignored, normal);
    ASSERT_EQ(normal.e, errc::ok);
    EXPECT_EQ(normal.left, 0u) << "blocks left by a normal call";
    EXPECT_GT(normal.allocations, 0u);
    for (std::size_t n = 1; n <= normal.allocations; ++n) {
      call_once(row, n, before, failed);
      SCOPED_TRACE("allocation " + std::to_string(n) + " of " + std::to_string(normal.allocations) + " failed");
      EXPECT_EQ(failed.left, 0u) << "blocks leaked";
      if (failed.e == errc::ok) {
        EXPECT_EQ(failed.state, normal.state);
      } else {
        EXPECT_EQ(failed.e, errc::out_of_memory);
        EXPECT_EQ(failed.state, before);
      }
    }
  }
}

TEST(WebAllocationFailure, LookupsAllocateNothing) {
  const std::string long_name(40, 'x');
  const std::string form = "plain+name=1&escaped%20name%21=2&" + long_name + "=3";
  const std::vector<web::Field> fields = web::parse_urlencoded(form, 100, errc::too_many_fields).value();
  const web::Variables request = {{"CGIECHO_MAX_FIELDS", "12"}};
  const std::size_t made = allocations().made;
  EXPECT_TRUE(fields[0].name_is("plain name"));
  EXPECT_TRUE(fields[1].name_is("escaped name!"));
  EXPECT_FALSE(fields[1].name_is("escaped name?"));
  EXPECT_EQ(web::find_field(fields, long_name), &fields[2]);
  EXPECT_EQ(web::limits_from(request, {}, web::Limits{}).value().max_fields, 12u);
  EXPECT_EQ(allocations().made, made);
}

}  // namespace
