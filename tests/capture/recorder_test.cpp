#include "capture/recorder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <cgiecho/platform/platform.h>
#include <cgiecho/request/acquire.h>

#include "echo/echo.h"
#include "support/expected_page.h"
#include "support/platform_fake.h"

namespace {

using cgiecho::capture::Variables;
using cgiecho::fake::process;

TEST(CaptureVariables, SettingsGoAndSecretsAreReplaced) {
  const std::string marker(cgiecho::capture::kSecretMarker);
  enum Fate { kept, removed, left_out, edited };
  const struct {
    std::string name, value;
    Fate fate;
    std::string edited_value = {};                 // an edited query's
    std::vector<std::string> removed_values = {};  // of an edited query, as the answer may echo them
  } cases[] = {
      {"REQUEST_METHOD", "GET", kept},
      {"CGIECHO_CAPTURE_DIR", "/srv/captures", left_out},
      {"cgiecho_capture_max", "5", left_out},
      {"CGIECHO_CAPTURE", "kept: not a setting of capture", kept},
      {"=C:", "C:\\srv", left_out},
      {"HTTP_COOKIE", "sid=1", removed},
      {"Http_Authorization", "Basic x", removed},
      {"HTTP_PROXY_AUTHORIZATION", "Bearer y", removed},
      {"REDIRECT_HTTP_AUTHORIZATION", "Basic z", removed},
      {"HTTP_COOKIE2", "c2", removed},
      {"HTTP_X_API_KEY", "k-123", removed},
      {"ssl_server_key", "-----BEGIN", removed},
      {"DB_PASSWORD", "hunter2", removed},
      {"LDAP_PASSWD", "pw", removed},
      {"APP_SECRET_FILE", "/etc/s", removed},
      {"HTTP_X_CSRF_TOKEN", "t0k", removed},
      {"HTTP_X_SESSION_ID", "s-42", removed},
      {"SSL_SESSION_ID", "", removed},
      {"HTTP_KEYBOARD", "kept: KEY not at the end", kept},
      {"HTTP_X_KEYS", "kept: ends in KEYS", kept},
      {"HTTP_ACCEPT", "text/html", kept},
      {"", "empty name kept", kept},
      {"HTTP_X_AUTH", "xa-1", removed},
      {"X-Auth", "xa-2", removed},
      {"HTTP_X_AUTH_USER", "ann", removed},
      {"x.auth", "xa-3", removed},
      {"HTTP_AUTHOR", "kept: AUTH is not a word of it", kept},
      {"HTTP_OAUTH_STATE", "kept: nor of this", kept},
      {"HTTP_X_JWT_ASSERTION", "eyJh", removed},
      {"AWS_CREDENTIALS_FILE", "/srv/c", removed},
      {"QUERY_STRING", "x=1&access_token=t%2Bk&author=me&pass%77ord=&token", edited,
       "x=1&access_token=" + marker + "&author=me&pass%77ord=" + marker + "&token", {"t%2Bk", "t+k"}},
      {"REDIRECT_QUERY_STRING", "a=1&Auth=x+y", edited, "a=1&Auth=" + marker, {"x+y", "x y"}},
      {"REQUEST_URI", "/p?a=1&api_key=k9&b#api_key=frag", edited, "/p?a=1&api_key=" + marker + "&b#api_key=frag",
       {"k9"}},
      {"REDIRECT_URL", "/cb?jwt=e.y", edited, "/cb?jwt=" + marker, {"e.y"}},
      {"REQUEST_URI", "/no/query/token=1", kept},
      {"HTTP_REFERER", "https://idp.example/cb?code=c0de&state=a%20b", edited, "https://idp.example/cb?" + marker,
       {"code=c0de&state=a%20b", "code=c0de&state=a b"}},
      {"HTTP_REFERER", "https://example.com/page", kept},
      {"HTTP_REFERER", "https://example.com/page?", kept},
      {"PATH_INFO", "/a?password=kept: not a query", kept},
  };
  Variables all;
  Variables masked;
  Variables unmasked;
  std::vector<std::string> want_removed;
  for (const auto& c : cases) {
    all.emplace_back(c.name, c.value);
    if (c.fate == left_out) continue;
    masked.emplace_back(c.name, c.fate == removed ? marker : c.fate == edited ? c.edited_value : c.value);
    unmasked.emplace_back(c.name, c.value);
    if (c.fate == removed && c.name == "HTTP_COOKIE") want_removed.push_back("1");  // each cookie's value too
    if (c.fate == removed && !c.value.empty()) want_removed.push_back(c.value);
    want_removed.insert(want_removed.end(), c.removed_values.begin(), c.removed_values.end());
    EXPECT_EQ(cgiecho::capture::is_secret_name(c.name), c.fate == removed) << c.name;
  }
  std::vector<std::string> values;
  EXPECT_EQ(cgiecho::capture::kept_variables(all, false, &values), masked);
  EXPECT_EQ(values, want_removed) << "an empty value is nothing to look for";
  values.clear();
  EXPECT_EQ(cgiecho::capture::kept_variables(all, true, &values), unmasked);
  EXPECT_TRUE(values.empty());
}

// Form bodies as a capture keeps them: a field or part named like a
// credential (its name as sent or percent-decoded) keeps its name and loses
// its value; a body of another type, or not a form at all, stays as it is.
TEST(CaptureBody, FieldsNamedLikeCredentialsLoseTheirValues) {
  const std::string m(cgiecho::capture::kSecretMarker);
  const std::string form = "application/x-www-form-urlencoded";
  const std::string multipart = "multipart/form-data; charset=utf-8; boundary=\"b;1\"";
  const auto part = [](const std::string& name, const std::string& content) {
    return "--b;1\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + content + "\r\n";
  };
  const struct {
    std::string name, content_type, body;
    std::optional<std::string> want;  // none: kept as it is
    std::vector<std::string> removed;
  } cases[] = {
      {"url-encoded", "Application/X-WWW-Form-Urlencoded ; charset=x", "user=ann&pass%77ord=p%26w+1&Auth=&x=1",
       "user=ann&pass%77ord=" + m + "&Auth=" + m + "&x=1", {"p%26w+1", "p&w 1"}},
      {"url-encoded, nothing secret", form, "user=ann&author=me", std::nullopt, {}},
      {"url-encoded, the secret field last", form, "a=1&token=abc", "a=1&token=" + m, {"abc"}},
      {"a name that only looks encoded", form, "api%zkey=1&%=2", "api%zkey=" + m + "&%=2", {"1"}},
      {"another type", "text/plain", "password=hunter2", std::nullopt, {}},
      {"JSON", "application/json", "{\"password\":\"hunter2\"}", std::nullopt, {}},
      {"multipart", multipart, part("user", "ann") + part("API_KEY", "k\r\n--b;1x") + part("f", "") + "--b;1--\r\n",
       part("user", "ann") + part("API_KEY", m) + part("f", "") + "--b;1--\r\n", {"k\r\n--b;1x"}},
      {"multipart, preamble, an empty secret and a header block in any case",
       multipart, "pre\r\n" + part("x", "1") +
           "--b;1 \r\nCONTENT-DISPOSITION: form-data; filename=\"t.txt\"; name=Token\r\n\r\n\r\n--b;1--",
       "pre\r\n" + part("x", "1") +
           "--b;1 \r\nCONTENT-DISPOSITION: form-data; filename=\"t.txt\"; name=Token\r\n\r\n" + m + "\r\n--b;1--",
       {}},
      {"multipart, cut inside a secret part", multipart, part("x", "1") + part("session%5Fid", "s-42").substr(0, 64),
       part("x", "1") + part("session%5Fid", "").substr(0, 62) + m, {"s-"}},
      {"multipart without a delimiter", multipart, "password=hunter2", std::nullopt, {}},
      {"multipart without a boundary", "multipart/form-data", part("password", "pw"), std::nullopt, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> removed;
    EXPECT_EQ(cgiecho::capture::body_without_secrets(c.content_type, c.body, &removed), c.want);
    EXPECT_EQ(removed, c.removed);
  }
}

// The answer as a capture keeps it: Set-Cookie values and echoes of
// removed values replaced, anything else byte for byte.
TEST(CaptureResponse, CredentialsInTheAnswerAreReplaced) {
  const std::string m(cgiecho::capture::kSecretMarker);
  const std::string odd = "q\"\\/ <>&'\n\x01z";  // each byte a program may escape
  const std::vector<std::string> removed = {"sid=s3cr3t", "s3cr3t", "s3cr3t-longer", "Basic QWxh",
                                            odd,          "x&lt;",  "ann b",         "caf\xc3\xa9",
                                            R"(b\\\\\\e)"};
  const struct {
    std::string name, response;
    bool cut;
    std::string want;
  } cases[] = {
      {"nothing secret", "Content-type: text/plain\r\n\r\nhello", false, "Content-type: text/plain\r\n\r\nhello"},
      {"a Set-Cookie in the response",
       "Content-type: text/html\r\nSet-Cookie: id=a3fWa; Path=/\r\nset-cookie  :\tx=1\r\n\r\nSet-Cookie: body",
       false, "Content-type: text/html\r\nSet-Cookie: " + m + "\r\nset-cookie  :\t" + m + "\r\n\r\nSet-Cookie: body"},
      {"Set-Cookie with LF endings and none", "Set-Cookie: a=1\nSet-Cookie:", false,
       "Set-Cookie: " + m + "\nSet-Cookie:" + m},
      {"not that header", "Set-Cookie2: a=1\r\nX-Set-Cookie: b=2\r\n\r\n", false,
       "Set-Cookie2: a=1\r\nX-Set-Cookie: b=2\r\n\r\n"},
      {"the inspector echoing a cookie", "Content-type: application/json\r\n\r\n{\"HTTP_COOKIE\": \"sid=s3cr3t\"}",
       false, "Content-type: application/json\r\n\r\n{\"HTTP_COOKIE\": \"" + m + "\"}"},
      {"echoed twice, the longest value first", "Basic QWxh|s3cr3t-longer|sid=s3cr3t", false, m + "|" + m + "|" + m},
      {"an echo inside a Set-Cookie value", "Set-Cookie: sid=s3cr3t\r\n\r\nsid=s3cr3t", false,
       "Set-Cookie: " + m + "\r\n\r\n" + m},
      {"a value the limit cut short", "\r\n\r\nwas sid=s3c", true, "\r\n\r\nwas " + m},
      {"the same tail, not cut", "\r\n\r\nwas sid=s3c", false, "\r\n\r\nwas sid=s3c"},
      {"a Set-Cookie line the limit cut", "Set-Cookie: sid=s3", true, "Set-Cookie: " + m},
      {"NUL bytes kept", std::string("a\0sid=s3cr3t\0b", 14), false, std::string("a\0", 2) + m + std::string("\0b", 2)},
      {"JSON as the inspector writes it", R"({"v":"q\"\\/ <>&'\n\u0001z"})", false, R"({"v":")" + m + R"("})"},
      {"JSON, each byte as \\u00XX and / as \\/",
       R"(q\u0022\u005C\/\u0020\u003c\u003E\u0026\u0027\u000a\u0001\u007a.)", false, m + "."},
      {"percent-encoded, either case", "?v=q%22%5c%2F+%3C%3e%26%27%0A%01z&", false, "?v=" + m + "&"},
      {"HTML-escaped", "<p>q&quot;\\/ &lt;&gt;&amp;&#x27;\n\x01z</p>", false, "<p>" + m + "</p>"},
      {"HTML-escaped in part, in capitals", "q&#34;\\/ &LT;>&&#39;\n\x01z", false, m},
      {"one byte differs", R"(q\"\\/ <>&'\n\u0002z)", false, R"(q\"\\/ <>&'\n\u0002z)"},
      {"a value that looks escaped, as it is and escaped", "x&lt;|x&amp;lt;|x<", false, m + "|" + m + "|x<"},
      {"a space as +, bytes above 0x7F percent-encoded", "n=ann+b&c=caf%c3%a9 caf\xc3\xa9", false,
       "n=" + m + "&c=" + m + " " + m},
      {"a run of backslashes, JSON-escaped and as it is, and one short",
       R"(b\\\\\\\\\\\\e|b\\\\\\e|b\\\\\e)", false, m + "|" + m + R"(|b\\\\\e)"},
      {"an escape the limit cut", R"(x q\"\\/ <\u00)", true, "x " + m},
      {"the same, not cut", R"(x q\"\\/ <\u00)", false, R"(x q\"\\/ <\u00)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(cgiecho::capture::without_secrets(c.response, removed, c.cut), c.want);
  }
}

// A crafted request can make the search cost the answer's size times a
// value's (a long value, and a long near-echo of it at every start): the
// work is bounded, and what is left unsearched goes as one marker.
TEST(CaptureResponse, ASearchTooCostlyGivesTheRestUp) {
  const std::string m(cgiecho::capture::kSecretMarker);
  const std::string response = "pre|" + std::string(40000, 'a');
  const std::string out = cgiecho::capture::without_secrets(response, {std::string(20000, 'a') + "x"}, false);
  ASSERT_GT(out.size(), m.size() + 4);
  EXPECT_EQ(out.substr(out.size() - m.size()), m);
  EXPECT_EQ(response.substr(0, out.size() - m.size()), out.substr(0, out.size() - m.size()));
}

// The room left for a response is counted in 64 bits: a limit past 4 GiB
// must not wrap to a small one where memory is addressed in 32 bits.
TEST(CaptureResponse, RoomIsCountedInSixtyFourBits) {
  const struct {
    std::uint64_t max_kept, kept, want;
  } cases[] = {
      {16, 0, 16},
      {16, 16, 0},
      {16, 20, 0},
      {(std::uint64_t{1} << 32) + 5, 0, std::min<std::uint64_t>((std::uint64_t{1} << 32) + 5, SIZE_MAX)},
      {UINT64_MAX, 1, std::min<std::uint64_t>(UINT64_MAX - 1, SIZE_MAX)},
  };
  for (const auto& c : cases) EXPECT_EQ(cgiecho::capture::response_room(c.max_kept, c.kept), c.want) << c.max_kept;
}

TEST(CaptureFileName, UtcTimeToTheMicrosecondThenProcessAndCount) {
  const struct {
    std::int64_t micros;
    std::uint64_t pid, sequence;
    std::string want;
  } cases[] = {
      {0, 1, 1, "19700101-000000.000000-1-1.capture"},
      {951868799999999, 42, 7, "20000229-235959.999999-42-7.capture"},  // a leap day of a 400-year leap year
      {4107542400000000, 4294967295, 18446744073709551615u, "21000301-000000.000000-4294967295-18446744073709551615.capture"},
      {1735689599123456, 7, 1, "20241231-235959.123456-7-1.capture"},
      {-5, 1, 1, "19700101-000000.000000-1-1.capture"},
  };
  for (const auto& c : cases) EXPECT_EQ(cgiecho::capture::capture_file_name(c.micros, c.pid, c.sequence), c.want);
  // Later times sort later, a day apart or a microsecond apart.
  std::string before = cgiecho::capture::capture_file_name(0, 99, 99);
  for (std::int64_t t = 1; t < std::int64_t{1} << 52; t = t * 3 + 1) {
    const std::string after = cgiecho::capture::capture_file_name(t, 1, 1);
    EXPECT_LT(before.substr(0, 22), after.substr(0, 22)) << t;
    before = after;
  }
}

// The body read ahead reaches the program whole, in whatever pieces the
// input gives it, also when the capture cannot be written (no files in the
// scripted system) and when it keeps less than the program gets.
TEST(CaptureRecording, TheProgramReadsTheBodyItWouldHaveRead) {
  const struct {
    std::string name;
    std::string length;  // CONTENT_LENGTH
    std::vector<std::string> pieces;
    std::string max_body;  // CGIECHO_CAPTURE_MAX_BODY, "" for unset
    std::string shown;
  } cases[] = {
      {"whole", "10", {"ab<d", "efgh", "ij"}, "", "ab&lt;defghij"},
      {"kept in part", "10", {"ab<d", "efgh", "ij"}, "4", "ab&lt;defghij"},
      {"nothing kept", "10", {"abcdefghij"}, "0", "abcdefghij"},
      {"short of its length", "10", {"ab", "c"}, "", "abc"},
      {"past its length", "3", {"abcdef"}, "", "abc"},
      {"a length the request readers take", " 5", {"abcdefg"}, "", "abcde"},
      {"no length", "", {"abc"}, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    cgiecho::fake::reset();
    process().environment = {{"REQUEST_METHOD", "POST"}, {"CGIECHO_CAPTURE_DIR", "/captures"}};
    if (!c.length.empty()) process().environment["CONTENT_LENGTH"] = c.length;
    if (!c.max_body.empty()) process().environment["CGIECHO_CAPTURE_MAX_BODY"] = c.max_body;
    process().stdin_pieces = c.pieces;
    {
      cgiecho::capture::Recording recording;
      recording.begin(true);
      EXPECT_NE(cgiecho::platform::channel(), nullptr);
      cgiecho::echo_request();
    }
    EXPECT_EQ(cgiecho::platform::channel(), nullptr) << "the request is served as before once the recording ends";
    EXPECT_EQ(process().written(), cgiecho::test::expected_page(c.shown));
  }
}

TEST(CaptureRecording, OffUnlessTheFolderIsSet) {
  const struct {
    std::string name;
    std::map<std::string, std::string> settings;
  } cases[] = {
      {"unset", {}},
      {"empty", {{"CGIECHO_CAPTURE_DIR", ""}}},
      {"a limit that is no number", {{"CGIECHO_CAPTURE_DIR", "/c"}, {"CGIECHO_CAPTURE_MAX", "1k"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    cgiecho::fake::reset();
    process().environment = c.settings;
    process().environment["REQUEST_METHOD"] = "POST";
    process().environment["CONTENT_LENGTH"] = "3";
    process().stdin_pieces = {"abc"};
    cgiecho::capture::Recording recording;
    recording.begin(true);
    EXPECT_EQ(cgiecho::platform::channel(), nullptr);
    EXPECT_TRUE(process().read_requests.empty()) << "nothing read ahead";
    recording.finish();
  }
}

// A FastCGI request as the tests' channel: its parameters and body, in
// front of the responder's own environment (the fake process's).
class RequestChannel final : public cgiecho::platform::Channel {
 public:
  RequestChannel(cgiecho::platform::Variables params, std::string body)
      : params_(std::move(params)), body_(std::move(body)) {}
  std::string env(std::string_view name) override {
    for (const auto& [n, v] : params_)
      if (n == name) return v;
    return {};
  }
  cgiecho::platform::Variables environment() override { return params_; }
  cgiecho::platform::Read read(char* buffer, std::size_t count) override {
    requests.push_back(count);
    const std::size_t n = std::min(count, body_.size() - taken_);
    std::copy_n(body_.data() + taken_, n, buffer);
    taken_ += n;
    if (n == 0 && fail_once) {
      fail_once = false;  // a connection that broke, then reads as ended
      return {0, true};
    }
    return {n, false};
  }
  bool write(std::string_view) override { return true; }
  std::vector<std::size_t> requests;  // the count each read asked for
  bool fail_once = false;             // the read after the body fails, once

 private:
  cgiecho::platform::Variables params_;
  std::string body_;
  std::size_t taken_ = 0;
};

// The settings come from the process's own environment: a FastCGI
// request's parameters neither switch capture on nor change its limits;
// the body read ahead is no more than CGIECHO_MAX_BODY allows, taken from
// the request first as the web layer takes it.
TEST(CaptureRecording, SettingsAreTheProcessesAndTheProgramsLimitBoundsTheReadAhead) {
  using Params = cgiecho::platform::Variables;
  const struct {
    std::string name;
    std::map<std::string, std::string> own;  // the process's environment
    Params params;                           // a FastCGI request's; none: CGI
    bool fastcgi;
    bool recording;
    std::size_t read_ahead;  // what the first read asks for
  } cases[] = {
      {"CGI: the server's folder", {{"CGIECHO_CAPTURE_DIR", "/c"}}, {}, false, true, 10},
      {"FastCGI: a request naming a folder", {}, {{"CGIECHO_CAPTURE_DIR", "/elsewhere"}}, true, false, 0},
      {"FastCGI: the responder's folder", {{"CGIECHO_CAPTURE_DIR", "/c"}}, {}, true, true, 10},
      {"FastCGI: a request's capture limit", {{"CGIECHO_CAPTURE_DIR", "/c"}}, {{"CGIECHO_CAPTURE_MAX_BODY", "2"}}, true,
       true, 10},
      {"FastCGI: a request's limit that is no number", {{"CGIECHO_CAPTURE_DIR", "/c"}},
       {{"CGIECHO_CAPTURE_MAX", "x"}}, true, true, 10},
      {"CGI: the capture's limit", {{"CGIECHO_CAPTURE_DIR", "/c"}, {"CGIECHO_CAPTURE_MAX_BODY", "6"}}, {}, false, true, 6},
      {"CGI: the program's limit", {{"CGIECHO_CAPTURE_DIR", "/c"}, {"CGIECHO_MAX_BODY", "4"}}, {}, false, true, 4},
      {"CGI: the smaller of both",
       {{"CGIECHO_CAPTURE_DIR", "/c"}, {"CGIECHO_MAX_BODY", "7"}, {"CGIECHO_CAPTURE_MAX_BODY", "5"}}, {}, false, true, 5},
      {"CGI: a program's limit that is no number", {{"CGIECHO_CAPTURE_DIR", "/c"}, {"CGIECHO_MAX_BODY", "4k"}}, {},
       false, true, 10},
      {"FastCGI: the request's program limit first", {{"CGIECHO_CAPTURE_DIR", "/c"}, {"CGIECHO_MAX_BODY", "8"}},
       {{"CGIECHO_MAX_BODY", "3"}}, true, true, 3},
      {"FastCGI: else the responder's", {{"CGIECHO_CAPTURE_DIR", "/c"}, {"CGIECHO_MAX_BODY", "8"}}, {}, true, true, 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    cgiecho::fake::reset();
    process().environment = c.own;
    Params params = c.params;
    params.emplace_back("REQUEST_METHOD", "POST");
    params.emplace_back("CONTENT_LENGTH", "10");
    if (!c.fastcgi)
      for (const auto& [n, v] : params) process().environment[n] = v;
    process().stdin_pieces = {"0123456789"};
    RequestChannel request(params, "0123456789");
    if (c.fastcgi) cgiecho::platform::set_channel(&request);
    {
      cgiecho::capture::Recording recording;
      recording.begin(true);
      EXPECT_EQ(cgiecho::platform::channel() != (c.fastcgi ? &request : nullptr), c.recording);
      const std::vector<std::size_t>& reads = c.fastcgi ? request.requests : process().read_requests;
      if (c.recording) {
        ASSERT_FALSE(reads.empty());
        EXPECT_EQ(reads[0], c.read_ahead);
      } else {
        EXPECT_TRUE(reads.empty()) << "nothing read ahead";
      }
      // The program still reads the whole body, whatever was read ahead.
      std::string body(16, '\0');
      std::size_t got = 0;
      for (cgiecho::platform::Read r; (r = cgiecho::platform::read_input(body.data() + got, body.size() - got)).size > 0;)
        got += r.size;
      EXPECT_EQ(body.substr(0, got), "0123456789");
    }
    cgiecho::platform::set_channel(nullptr);
  }
}

// A read ahead that fails reaches the program as a failed read once the
// bytes read before it are served, not as the end of a short body.
TEST(CaptureRecording, AFailedReadAheadFailsTheProgramsRead) {
  cgiecho::fake::reset();
  process().environment = {{"CGIECHO_CAPTURE_DIR", "/c"}};
  RequestChannel request({{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "10"}}, "abcde");
  request.fail_once = true;
  cgiecho::platform::set_channel(&request);
  cgiecho::capture::Recording recording;
  recording.begin(true);
  char buffer[16];
  std::string got;
  cgiecho::platform::Read r;
  while ((r = cgiecho::platform::read_input(buffer, 2)).size > 0) got.append(buffer, r.size);
  EXPECT_EQ(got, "abcde");
  EXPECT_TRUE(r.failed);
  recording.finish();
  cgiecho::platform::set_channel(nullptr);
}

}  // namespace
