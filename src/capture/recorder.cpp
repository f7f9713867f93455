#include "capture/recorder.h"

#include <algorithm>
#include <array>
#include <new>
#include <optional>

#include <cgiecho/platform/platform.h>

#include "request/number.h"
#include "text/ascii.h"
#include "text/decimal.h"
#include "text/hex.h"
#include "text/variables.h"

namespace cgiecho::capture {
namespace {

constexpr std::string_view kSettingPrefix = "CGIECHO_CAPTURE_";
// A name holding one of these, without case, names a credential; so does
// one with the word AUTH (words are split at "_", "-" and ".", so that
// HTTP_AUTHOR is not one), and one that ends in KEY.
constexpr std::string_view kSecretWords[] = {"AUTHORIZATION", "COOKIE", "PASSWORD", "PASSWD",    "SECRET",
                                             "TOKEN",         "SESSION", "JWT",     "CREDENTIAL"};
constexpr std::string_view kSecretWord = "AUTH";
constexpr std::string_view kSecretEnding = "KEY";
constexpr std::string_view kSetCookie = "set-cookie";
// Names taken by other processes in the same microsecond are skipped; this
// many in a row means something else is wrong.
constexpr int kNameAttempts = 100;
// A body up to this size is copied behind the other records, so that the
// request goes to the file in one write.
constexpr std::size_t kCopiedBody = 64 << 10;

bool g_said = false;
bool g_recording = false;  // one recording at a time: a nested one would capture the request twice
std::uint64_t g_sequence = 0;

// `why` is raw bytes (a folder's name, a setting's value), escaped here.
void say_once(const std::string& why) {
  if (g_said) return;
  g_said = true;
  platform::say_on_stderr("requests are answered but not captured: " + why);
}

// The process's own setting: the server's environment under CGI, the
// responder's under FastCGI, where a request's parameters must not say
// where files go or what they keep.
std::string setting(std::string_view name) {
  return platform::channel() == nullptr ? platform::env(name) : platform::process_env(name);
}

// A plain decimal number that fits in 64 bits, as CONTENT_LENGTH and the
// settings are read; too large is no number here.
std::optional<std::uint64_t> plain_decimal(std::string_view digits) {
  const text::Decimal number = text::parse_decimal(digits);
  if (number.outcome != text::Decimal::Outcome::number) return std::nullopt;
  return number.value;
}

bool limit_setting(std::string_view name, std::uint64_t fallback, std::uint64_t& out) {
  const std::string text = setting(name);
  if (text.empty()) {
    out = fallback;
    return true;
  }
  const std::optional<std::uint64_t> n = plain_decimal(text);
  if (!n) {
    say_once(std::string(name) + " is \"" + text + "\", not a plain decimal number");
    return false;
  }
  out = *n;
  return true;
}

// Where `word` first appears in `text`, without case; npos when nowhere.
std::size_t find_no_case(std::string_view haystack, std::string_view word) {
  if (word.size() > haystack.size()) return std::string_view::npos;
  for (std::size_t at = 0; at + word.size() <= haystack.size(); ++at)
    if (text::equals_ignoring_case(haystack.substr(at, word.size()), word)) return at;
  return std::string_view::npos;
}

void append_digits(std::string& out, std::uint64_t n, int width) {
  std::string digits = std::to_string(n);
  if (static_cast<int>(digits.size()) < width) out.append(static_cast<std::size_t>(width) - digits.size(), '0');
  out += digits;
}

std::string in_folder(const std::string& folder, const std::string& name) {
  if (!folder.empty() && (folder.back() == '/' || folder.back() == '\\')) return folder + name;
  return folder + "/" + name;
}

}  // namespace

// Serves the request in place of what served it before: reads come from
// the body read ahead, then from the request's own input; writes go on to
// the request's output, and a copy is kept for the response record. What
// served the request before (a FastCGI request's channel, or none: the
// process's own environment and handles) serves each call passed on.
class Recording::Channel final : public platform::Channel {
 public:
  explicit Channel(platform::Channel* previous) : previous_(previous) {}

  std::string env(std::string_view name) override {
    AsBefore before(*this);
    return platform::env(name);
  }
  platform::Variables environment() override {
    AsBefore before(*this);
    return platform::environment();
  }

  platform::Read read(char* buffer, std::size_t count) override {
    if (served_ < ahead_.size()) {
      const std::size_t n = std::min(count, ahead_.size() - served_);
      std::copy_n(ahead_.data() + served_, n, buffer);
      served_ += n;
      if (served_ == ahead_.size()) std::string().swap(ahead_);  // the body's room back at once
      return {n, false};
    }
    // A read ahead that failed fails the program's read where it would
    // have failed, rather than look like the end of the body.
    if (ahead_failed_) return {0, true};
    AsBefore before(*this);
    return platform::read_input(buffer, count);
  }

  bool write(std::string_view bytes) override {
    if (keep_response_) {
      written_ += bytes.size();
      try {
        kept_.append(bytes.substr(0, response_room(max_kept_, kept_.size())));
      } catch (const std::bad_alloc&) {
        keep_response_ = false;  // the answer still goes out; only its copy is given up
        say_once("no memory to keep a response");
      }
    }
    AsBefore before(*this);
    return platform::write_output(bytes);
  }

  // For one call, the request is served as it was before the recording.
  class AsBefore {
   public:
    explicit AsBefore(Channel& recording) : recording_(recording) { platform::set_channel(recording.previous_); }
    AsBefore(const AsBefore&) = delete;
    AsBefore& operator=(const AsBefore&) = delete;
    ~AsBefore() { platform::set_channel(&recording_); }

   private:
    Channel& recording_;
  };

  platform::Channel* previous_;
  std::string ahead_;
  std::size_t served_ = 0;
  bool ahead_failed_ = false;
  std::optional<std::uint64_t> declared_;  // CONTENT_LENGTH as a plain number
  std::uint64_t announced_ = 0;            // the body's length as it was read: declared_, or as the routines read it
  std::uint64_t body_kept_ = 0;            // of ahead_, what the body record holds
  bool body_cut_ = false;
  bool keep_secrets_ = false;
  std::vector<std::string> removed_;  // the secret values the file does not hold
  bool keep_response_ = false;
  std::uint64_t max_kept_ = 0;
  std::string kept_;
  std::uint64_t written_ = 0;
  bool file_open_ = false;
  std::intptr_t file_ = 0;
  std::string path_;
};

namespace {

// Each cookie's value in a Cookie header, as a program reads them: a
// program that shows its cookies one by one (the inspector lists them)
// echoes those values, not the header whole.
void add_cookie_values(std::string_view header, std::vector<std::string>& values) {
  while (!header.empty()) {
    const std::size_t semicolon = header.find(';');
    const std::string_view piece = header.substr(0, semicolon);
    header = semicolon == std::string_view::npos ? std::string_view() : header.substr(semicolon + 1);
    const std::size_t eq = piece.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view value = text::trim_blanks(piece.substr(eq + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    if (!value.empty()) values.emplace_back(value);
  }
}

bool ends_with_no_case(std::string_view name, std::string_view ending) {
  return name.size() >= ending.size() &&
         text::equals_ignoring_case(name.substr(name.size() - ending.size()), ending);
}

// Whether `word` is one of the pieces of `name` between "_", "-" and ".",
// without case: AUTH is a word of X-Auth and HTTP_X_AUTH_USER, not of
// HTTP_AUTHOR.
bool has_word(std::string_view name, std::string_view word) {
  for (std::size_t from = 0;;) {
    const std::size_t end = std::min(name.find_first_of("_-.", from), name.size());
    if (text::equals_ignoring_case(name.substr(from, end - from), word)) return true;
    if (end == name.size()) return false;
    from = end + 1;
  }
}

// Form data decoded as the web layer decodes it.
std::string form_decoded(std::string_view raw) {
  std::string out(raw.size(), '\0');
  out.resize(text::form_decode_to(raw, out.data()));
  return out;
}

// A value the capture does not hold, to be looked for in the answer: once,
// and only when there is something to look for.
void add_removed(std::vector<std::string>* removed, std::string_view value) {
  if (removed == nullptr || value.empty()) return;
  if (std::find(removed->begin(), removed->end(), value) == removed->end()) removed->emplace_back(value);
}

// A field's value as sent, and as the program reads it once decoded.
void add_removed_field(std::vector<std::string>* removed, std::string_view raw) {
  add_removed(removed, raw);
  add_removed(removed, form_decoded(raw));
}

// Whether a field's name names a credential, as sent or percent-decoded
// ("pass%77ord" is "password").
bool is_secret_field(std::string_view raw_name) {
  return is_secret_name(raw_name) || is_secret_name(form_decoded(raw_name));
}

// Form data ("a=1&password=x", a query or a url-encoded body) with the value
// of each field named like a credential replaced by the marker; nothing
// when no field is. The fields are the pieces between "&"; a piece without
// "=" has no value to remove.
std::optional<std::string> fields_without_secrets(std::string_view form, std::vector<std::string>* removed) {
  std::optional<std::string> out;
  std::size_t copied = 0;  // form[0, copied) is in `out`
  for (std::size_t from = 0; from <= form.size();) {
    const std::size_t end = std::min(form.find('&', from), form.size());
    const std::string_view field = form.substr(from, end - from);
    const std::size_t eq = field.find('=');
    if (eq != std::string_view::npos && is_secret_field(field.substr(0, eq))) {
      if (!out) out.emplace().reserve(form.size());
      out->append(form.substr(copied, from + eq + 1 - copied));
      out->append(kSecretMarker);
      copied = end;
      add_removed_field(removed, field.substr(eq + 1));
    }
    from = end + 1;
  }
  if (out) out->append(form.substr(copied));
  return out;
}

// The value of the parameter `wanted` in a header value such as
// `form-data; name="password"` or `multipart/form-data; boundary=x`:
// a token, or the bytes between two quotes as browsers send them (a quote
// in a name comes as "%22"). Names compare without case.
std::optional<std::string_view> header_parameter(std::string_view header, std::string_view wanted) {
  std::size_t at = header.find(';');
  while (at < header.size()) {
    ++at;  // past the ";"
    while (at < header.size() && text::is_blank(header[at])) ++at;
    const std::size_t eq = header.find('=', at);
    if (eq == std::string_view::npos) return std::nullopt;
    const std::string_view name = text::trim_blanks(header.substr(at, eq - at));
    at = eq + 1;
    while (at < header.size() && text::is_blank(header[at])) ++at;
    std::string_view value;
    if (at < header.size() && header[at] == '"') {
      const std::size_t close = header.find('"', at + 1);
      if (close == std::string_view::npos) return std::nullopt;
      value = header.substr(at + 1, close - at - 1);
      at = close + 1;
    } else {
      const std::size_t end = std::min(header.find(';', at), header.size());
      value = text::trim_blanks(header.substr(at, end - at));
      at = end;
    }
    if (text::equals_ignoring_case(name, wanted)) return value;
    at = std::min(header.find(';', at), header.size());
  }
  return std::nullopt;
}

// The media type of a Content-Type value, without its parameters.
bool media_type_is(std::string_view content_type, std::string_view type) {
  return text::equals_ignoring_case(text::trim_blanks(content_type.substr(0, content_type.find(';'))), type);
}

// The name a part's header block gives in its Content-Disposition, if any.
std::optional<std::string_view> part_name(std::string_view headers) {
  constexpr std::string_view kDisposition = "content-disposition";
  while (!headers.empty()) {
    const std::size_t eol = std::min(headers.find("\r\n"), headers.size());
    const std::string_view line = headers.substr(0, eol);
    headers = headers.substr(std::min(eol + 2, headers.size()));
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos && text::equals_ignoring_case(text::trim_blanks(line.substr(0, colon)), kDisposition))
      return header_parameter(line.substr(colon + 1), "name");
  }
  return std::nullopt;
}

// Whether the bytes from `after`, just past "--" and the boundary, make
// it a delimiter: "--", or blanks and CR LF, or the end of what was kept.
// Followed by anything else it was part data.
bool ends_delimiter(std::string_view body, std::size_t after) {
  if (body.substr(after, 2) == "--") return true;
  while (after < body.size() && text::is_blank(body[after])) ++after;
  return after == body.size() || body.substr(after, 2) == "\r\n";
}

// Where the next delimiter (CR LF, "--" and the boundary) starts at or
// past `from`.
std::size_t next_delimiter(std::string_view body, std::string_view delimiter, std::size_t from) {
  for (std::size_t at = body.find(delimiter, from); at != std::string_view::npos; at = body.find(delimiter, at + 1))
    if (ends_delimiter(body, at + delimiter.size())) return at;
  return std::string_view::npos;
}

// A multipart/form-data body with the content of each part named like a
// credential replaced by the marker; nothing when no part is, or when the
// body holds no delimiter at all. A body the limit cut ends inside its
// last part, whose content is then replaced to the end.
std::optional<std::string> parts_without_secrets(std::string_view body, std::string_view boundary,
                                                 std::vector<std::string>* removed) {
  const std::string delimiter = "\r\n--" + std::string(boundary);
  const std::string_view dashes = std::string_view(delimiter).substr(2);
  std::size_t line;  // where the bytes after a delimiter start
  // At the body's start the CR LF before the first delimiter is taken as read.
  if (body.substr(0, dashes.size()) == dashes && ends_delimiter(body, dashes.size())) {
    line = dashes.size();
  } else {
    const std::size_t first = next_delimiter(body, delimiter, 0);
    if (first == std::string_view::npos) return std::nullopt;
    line = first + delimiter.size();
  }
  std::optional<std::string> out;
  std::size_t copied = 0;  // body[0, copied) is in `out`
  while (body.substr(line, 2) != "--") {
    const std::size_t head = body.find("\r\n", line);  // the delimiter line's end
    const std::size_t blank = head == std::string_view::npos ? head : body.find("\r\n\r\n", head);
    if (blank == std::string_view::npos) break;  // a header block the limit cut
    const std::size_t content = blank + 4;
    const std::size_t next = next_delimiter(body, delimiter, content);
    const std::size_t end = next == std::string_view::npos ? body.size() : next;
    const std::optional<std::string_view> name = part_name(body.substr(head + 2, blank - head));
    if (name && is_secret_field(*name)) {
      if (!out) out.emplace().reserve(body.size());
      out->append(body.substr(copied, content - copied));
      out->append(kSecretMarker);
      copied = end;
      add_removed(removed, body.substr(content, end - content));
    }
    if (next == std::string_view::npos) break;
    line = next + delimiter.size();
  }
  if (out) out->append(body.substr(copied));
  return out;
}

}  // namespace

bool is_secret_name(std::string_view name) {
  for (const std::string_view word : kSecretWords)
    if (find_no_case(name, word) != std::string_view::npos) return true;
  return has_word(name, kSecretWord) || ends_with_no_case(name, kSecretEnding);
}

namespace {

// A variable that holds a URL or a query: a Referer's query is another
// page's, whose fields' names say nothing of what they carry (an OAuth
// "code"), so it goes whole; in the request's own (a name ending in
// QUERY_STRING holds one, a name ending in URI or URL one after its "?",
// up to a "#"), each field named like a credential loses its value.
void remove_query_secrets(std::string_view name, std::string& value, std::vector<std::string>* removed) {
  const bool whole = ends_with_no_case(name, "QUERY_STRING");
  const bool referer = ends_with_no_case(name, "REFERER");
  if (!whole && !referer && !ends_with_no_case(name, "URI") && !ends_with_no_case(name, "URL")) return;
  const std::size_t mark = whole ? 0 : value.find('?');
  if (mark == std::string::npos) return;
  const std::size_t start = whole ? 0 : mark + 1;
  if (referer) {
    if (start == value.size()) return;
    add_removed_field(removed, std::string_view(value).substr(start));
    value.replace(start, std::string::npos, kSecretMarker);
    return;
  }
  const std::size_t end = whole ? value.size() : std::min(value.find('#', start), value.size());
  if (std::optional<std::string> kept = fields_without_secrets(std::string_view(value).substr(start, end - start), removed))
    value.replace(start, end - start, *kept);
}

}  // namespace

Variables kept_variables(Variables all, bool keep_secrets, std::vector<std::string>* removed) {
  Variables kept;
  kept.reserve(all.size());
  for (auto& [name, value] : all) {
    // Windows keeps each drive's current folder in entries named "=C:" and
    // the like: the system's, not the request's, and no other system
    // could take them back.
    if (!name.empty() && name[0] == '=') continue;
    if (name.size() >= kSettingPrefix.size() &&
        text::equals_ignoring_case(std::string_view(name).substr(0, kSettingPrefix.size()), kSettingPrefix))
      continue;
    if (keep_secrets || !is_secret_name(name)) {
      if (!keep_secrets) remove_query_secrets(name, value, removed);
      kept.emplace_back(std::move(name), std::move(value));
      continue;
    }
    if (removed != nullptr && !value.empty()) {
      if (find_no_case(name, "COOKIE") != std::string_view::npos) add_cookie_values(value, *removed);
      removed->push_back(std::move(value));
    }
    kept.emplace_back(std::move(name), std::string(kSecretMarker));
  }
  return kept;
}

std::optional<std::string> body_without_secrets(std::string_view content_type, std::string_view body,
                                                std::vector<std::string>* removed) {
  if (media_type_is(content_type, "application/x-www-form-urlencoded")) return fields_without_secrets(body, removed);
  if (!media_type_is(content_type, "multipart/form-data")) return std::nullopt;
  const std::optional<std::string_view> boundary = header_parameter(content_type, "boundary");
  if (!boundary || boundary->empty()) return std::nullopt;
  return parts_without_secrets(body, *boundary, removed);
}

namespace {

// Where the value of each Set-Cookie line of the response's head lies:
// from past the colon and the blanks after it to the line's end (its CR
// left). The head ends at the first empty line.
std::vector<std::pair<std::size_t, std::size_t>> set_cookie_values(std::string_view response) {
  std::vector<std::pair<std::size_t, std::size_t>> values;
  for (std::size_t at = 0; at < response.size();) {
    const std::size_t lf = response.find('\n', at);
    std::size_t end = lf == std::string_view::npos ? response.size() : lf;
    if (lf != std::string_view::npos && end > at && response[end - 1] == '\r') --end;
    const std::string_view line = response.substr(at, end - at);
    if (line.empty()) break;
    if (line.size() > kSetCookie.size() && text::equals_ignoring_case(line.substr(0, kSetCookie.size()), kSetCookie)) {
      std::size_t colon = kSetCookie.size();
      while (colon < line.size() && (line[colon] == ' ' || line[colon] == '\t')) ++colon;
      if (colon < line.size() && line[colon] == ':') {
        std::size_t value = colon + 1;
        while (value < line.size() && (line[value] == ' ' || line[value] == '\t')) ++value;
        values.emplace_back(at + value, end);
      }
    }
    if (lf == std::string_view::npos) break;
    at = lf + 1;
  }
  return values;
}

// Every way a program may write one byte of a removed value: as it is;
// percent-encoded ("%2F" or "%2f", a space also "+"); JSON-escaped ("\"",
// "\\", "\/", the short escapes of control bytes, and "\u00XX" for any
// ASCII byte); HTML-escaped (&lt; &gt; &amp; &quot; &#34; &#39; &#x27;).
// A byte above 0x7F is written as itself or percent-encoded.
using Spellings = std::array<std::vector<std::string>, 256>;

Spellings make_spellings() {
  Spellings table;
  for (std::size_t b = 0; b < table.size(); ++b) {
    const char high = text::kHexUpper[b >> 4], low = text::kHexUpper[b & 0x0F];
    table[b] = {std::string(1, static_cast<char>(b)), std::string{'%', high, low}};
    if (b < 0x80) table[b].push_back(std::string{'\\', 'u', '0', '0', high, low});
  }
  const std::pair<char, const char*> escapes[] = {
      {' ', "+"},      {'"', "\\\""},   {'\\', "\\\\"},  {'/', "\\/"},     {'\b', "\\b"},    {'\f', "\\f"},
      {'\n', "\\n"},   {'\r', "\\r"},   {'\t', "\\t"},   {'<', "&lt;"},    {'>', "&gt;"},    {'&', "&amp;"},
      {'"', "&quot;"}, {'"', "&#34;"}, {'\'', "&#39;"}, {'\'', "&#x27;"}};
  for (const auto& [byte, spelling] : escapes) table[static_cast<unsigned char>(byte)].emplace_back(spelling);
  return table;
}

const std::vector<std::string>& spellings(char byte) {
  static const Spellings table = make_spellings();
  return table[static_cast<unsigned char>(byte)];
}

// Whether `spelling` is at text[at]: a byte as it is exactly, an escape
// without case ("%2f", "&LT;"). `ran_out` is set when the text ends inside
// a spelling that matches so far.
bool spelled_at(std::string_view text, std::size_t at, std::string_view spelling, bool& ran_out) {
  const std::string_view have = text.substr(at, spelling.size());
  const std::string_view want = spelling.substr(0, have.size());
  if (spelling.size() == 1 ? have != want : !text::equals_ignoring_case(have, want)) return false;
  if (have.size() == spelling.size()) return true;
  ran_out = true;
  return false;
}

// Looks for a removed value written in any of its spellings, each byte
// its own way ("a\"b%20c"), so the matcher follows every way at once. The
// work is bounded: a crafted request (a long value, and a long near-echo
// of it that each start follows nearly to its end) would otherwise cost
// the answer's size times the value's.
class EchoFinder {
  static constexpr std::size_t kWays = 4;  // followed at most at once
  static constexpr std::uint64_t kStepsPerByte = 32;
  static constexpr std::uint64_t kStepsAtLeast = std::uint64_t{1} << 24;

 public:
  EchoFinder(const std::vector<std::string>& values, std::size_t answer_size)
      : values_(values), starts_(values.size()), budget_(kStepsAtLeast + kStepsPerByte * answer_size) {
    for (std::size_t k = 0; k < values.size(); ++k)
      if (!values[k].empty())
        for (const auto& s : spellings(values[k][0])) {
          starts_[k][static_cast<unsigned char>(s[0])] = true;
          may_start_[static_cast<unsigned char>(s[0])] = true;
        }
  }

  // Whether an echo may start with this byte: most bytes rule one out at once.
  bool may_start(char byte) const { return may_start_[static_cast<unsigned char>(byte)]; }
  // Whether the work allowed is spent: what is left is not searched.
  bool spent() const { return steps_ > budget_; }

  // Where the longest echo of `value` that starts at text[at] ends, or npos.
  // `ran_out`: the text ended inside what may be one.
  std::size_t echo_end(std::string_view text, std::size_t at, std::string_view value, bool& ran_out) {
    now_.assign(1, at);
    for (std::size_t i = 0; i < value.size(); ++i) {
      if (now_.size() == 1) {
        // One way, and bytes as they are: no other spelling of a byte that
        // opens no second way starts with the byte itself.
        std::size_t& q = now_[0];
        const std::size_t from = i;
        while (i < value.size() && q < text.size() && text[q] == value[i] && !opens_ways(value[i])) ++q, ++i;
        steps_ += i - from;
        if (i == value.size()) break;
      }
      steps_ += now_.size();
      if (spent()) return std::string_view::npos;
      next_.clear();
      for (const std::size_t p : now_)
        for (const auto& s : spellings(value[i]))
          if (spelled_at(text, p, s, ran_out)) next_.push_back(p + s.size());
      if (next_.empty()) return std::string_view::npos;
      std::sort(next_.begin(), next_.end());
      next_.erase(std::unique(next_.begin(), next_.end()), next_.end());
      // A long run of bytes that open a second way would open as many ways
      // as bytes. Echoes write such a run all one way, so the shortest
      // ways and the longest are the ones kept.
      if (next_.size() > kWays) {
        constexpr auto half = static_cast<std::ptrdiff_t>(kWays / 2);
        next_.erase(next_.begin() + half, next_.end() - half);
      }
      now_.swap(next_);
    }
    return now_.back();
  }

  // Where the longest echo of any value that starts at text[at] ends, or npos.
  std::size_t longest_echo_end(std::string_view text, std::size_t at) {
    std::size_t longest = std::string_view::npos;
    bool ran_out = false;
    for (std::size_t k = 0; k < values_.size(); ++k) {
      if (!starts_[k][static_cast<unsigned char>(text[at])]) continue;
      const std::size_t end = echo_end(text, at, values_[k], ran_out);
      if (end != std::string_view::npos && (longest == std::string_view::npos || end > longest)) longest = end;
    }
    return longest;
  }

  // How many bytes at the end of `text` may be the first bytes of an echo
  // that the limit cut: the most for any value; all it looked at when the
  // work allowed is spent.
  std::size_t echo_start_at_end(std::string_view text) {
    constexpr std::size_t kLongestSpelling = 6;  // "\u00XX", "&quot;"
    std::size_t longest_value = 0;
    for (const auto& v : values_) longest_value = std::max(longest_value, v.size());
    // Compared before multiplying: where memory is addressed in 32 bits the
    // product of a long value could wrap.
    const std::size_t reach =
        longest_value >= text.size() / kLongestSpelling ? text.size() : longest_value * kLongestSpelling;
    for (std::size_t at = text.size() - reach; at < text.size(); ++at) {
      if (!may_start(text[at])) continue;
      for (std::size_t k = 0; k < values_.size(); ++k) {
        if (!starts_[k][static_cast<unsigned char>(text[at])]) continue;
        bool ran_out = false;
        (void)echo_end(text, at, values_[k], ran_out);
        if (spent()) return reach;
        if (ran_out) return text.size() - at;
      }
    }
    return 0;
  }

 private:
  // A backslash and its JSON escape, "&" and "&amp;", "%" and "%25": the
  // bytes one of whose spellings starts another, so that more than one
  // way may match.
  static bool opens_ways(char byte) { return byte == '\\' || byte == '&' || byte == '%'; }

  const std::vector<std::string>& values_;
  std::vector<std::array<bool, 256>> starts_;  // for each value, the bytes an echo of it may start with
  bool may_start_[256] = {};                   // for any value
  std::vector<std::size_t> now_, next_;  // where the ways being followed stand
  std::uint64_t steps_ = 0;
  std::uint64_t budget_;
};

}  // namespace

std::string without_secrets(std::string_view response, const std::vector<std::string>& removed, bool cut) {
  EchoFinder finder(removed, response.size());
  std::string out;
  out.reserve(response.size());
  std::size_t at = 0;
  std::size_t plain = 0;  // where in `out` the bytes after the last marker start
  bool gave_up = false;   // the work allowed was spent: the rest is one marker
  const auto put_marker = [&] {
    out += kSecretMarker;
    plain = out.size();
  };
  // Copies the bytes up to `end`, each echo of a removed value among them
  // replaced: the first to start, the longest of those that start there.
  const auto copy_until = [&](std::size_t end) {
    if (gave_up) return;
    const std::string_view text = response.substr(0, end);
    for (std::size_t p = at; p < end; ++p) {
      if (!finder.may_start(text[p])) continue;
      const std::size_t echo_end = finder.longest_echo_end(text, p);
      if (finder.spent()) {
        // What is not searched may hold an echo: it goes whole.
        out.append(response.substr(at, p - at));
        put_marker();
        gave_up = true;
        return;
      }
      if (echo_end == std::string_view::npos) continue;
      out.append(response.substr(at, p - at));
      put_marker();
      at = echo_end;
      p = echo_end - 1;  // an echo is never empty
    }
    out.append(response.substr(at, end - at));
    at = end;
  };
  for (const auto& [from, to] : set_cookie_values(response)) {
    copy_until(from);
    if (gave_up) break;
    put_marker();
    at = to;
  }
  copy_until(response.size());
  if (cut && !gave_up) {
    // The limit may have cut an echo short: its first bytes go too.
    const std::size_t tail = finder.echo_start_at_end(std::string_view(out).substr(plain));
    if (tail > 0) {
      out.resize(out.size() - tail);
      put_marker();
    }
  }
  return out;
}

std::size_t response_room(std::uint64_t max_kept, std::uint64_t kept) {
  const std::uint64_t room = kept < max_kept ? max_kept - kept : 0;
  return static_cast<std::size_t>(std::min<std::uint64_t>(room, SIZE_MAX));
}

std::string capture_file_name(std::int64_t unix_microseconds, std::uint64_t process_id, std::uint64_t sequence) {
  const std::int64_t micros = std::max<std::int64_t>(unix_microseconds, 0);
  const std::int64_t seconds = micros / 1000000;
  const std::int64_t days = seconds / 86400;
  const std::int64_t of_day = seconds % 86400;
  // The civil date of a day count since 1970-01-01, by 400-year eras.
  const std::int64_t z = days + 719468;
  const std::int64_t era = z / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  auto u = [](std::int64_t v) { return static_cast<std::uint64_t>(v); };
  std::string name;
  append_digits(name, u(year), 4);
  append_digits(name, u(month), 2);
  append_digits(name, u(day), 2);
  name += '-';
  append_digits(name, u(of_day / 3600), 2);
  append_digits(name, u(of_day / 60 % 60), 2);
  append_digits(name, u(of_day % 60), 2);
  name += '.';
  append_digits(name, u(micros % 1000000), 6);
  name += '-';
  append_digits(name, process_id, 1);
  name += '-';
  append_digits(name, sequence, 1);
  name += kFileSuffix;
  return name;
}

Recording::~Recording() { finish(); }

void Recording::begin(bool keep_response) {
  if (channel_ != nullptr || g_recording) return;
  // Whatever goes wrong here (memory, above all) must not reach the
  // program: the request is then served as far as the recording got, and
  // uncaptured.
  try {
    start(keep_response);
  } catch (...) {
  }
}

namespace {

struct Settings {
  std::string folder;
  std::uint64_t max_files = kDefaultMaxFiles;
  std::uint64_t max_body = kDefaultMaxBody;
  bool keep_secrets = false;
};

// False when capture is off, or a setting is not a number (said once).
bool read_settings(Settings& out) {
  out.folder = setting("CGIECHO_CAPTURE_DIR");
  if (out.folder.empty()) return false;  // the cost of capture while it is off: this lookup
  if (!limit_setting("CGIECHO_CAPTURE_MAX", kDefaultMaxFiles, out.max_files) ||
      !limit_setting("CGIECHO_CAPTURE_MAX_BODY", kDefaultMaxBody, out.max_body))
    return false;
  out.keep_secrets = setting("CGIECHO_CAPTURE_SECRETS") == "1";
  return true;
}

// How much of the body may be read ahead: no more than the capture keeps,
// nor than the program would take itself. CGIECHO_MAX_BODY is found as the
// web layer finds it, the request's variable first, else the responder's
// own; a value that is not a plain number bounds nothing here (the program
// refuses the request for it).
std::uint64_t read_ahead_limit(std::uint64_t max_body, const platform::Variables& request) {
  constexpr std::string_view kProgramLimit = "CGIECHO_MAX_BODY";
  std::optional<std::string> text;
  for (const auto& [name, value] : request)
    if (name == kProgramLimit) {
      text = value;
      break;
    }
  if (!text && platform::channel() != nullptr) text = platform::process_env(kProgramLimit);
  const std::optional<std::uint64_t> program_limit = text ? plain_decimal(*text) : std::nullopt;
  return program_limit ? std::min(max_body, *program_limit) : max_body;
}

// Reads the body ahead, so that the file holds it before the program runs:
// what CONTENT_LENGTH announces, up to `limit`. A length that is not a
// plain number is read as the request readers of the 52 routines read it
// (" 42", "42abc"), so that a replay hands the program the bytes it took.
// False when there is no memory to hold it: the program then reads the
// body as it comes, and nothing is captured.
bool read_ahead(Recording::Channel& c, std::uint64_t limit) {
  const std::string length = platform::env("CONTENT_LENGTH");
  c.declared_ = plain_decimal(length);
  const std::int32_t legacy = c.declared_ ? 0 : cgi_val(length);
  const std::uint64_t body_size = c.declared_ ? *c.declared_ : legacy > 0 ? static_cast<std::uint64_t>(legacy) : 0;
  c.announced_ = body_size;
  const std::uint64_t want = std::min(body_size, limit);
  try {
    // More than memory can address asks for more than reserve can give.
    c.ahead_.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(want, SIZE_MAX)));
  } catch (const std::exception&) {
    say_once("no memory to read a body of " + std::to_string(want) + " bytes ahead");
    return false;
  }
  while (c.ahead_.size() < want) {
    const std::size_t had = c.ahead_.size();
    c.ahead_.resize(static_cast<std::size_t>(want));  // within the room reserved: no allocation
    const platform::Read got = platform::read_input(c.ahead_.data() + had, c.ahead_.size() - had);
    c.ahead_.resize(had + got.size);
    c.ahead_failed_ = got.failed;
    if (got.size == 0) break;
  }
  c.body_kept_ = c.ahead_.size();
  // Stopped by the limit with more announced: the record says "cut".
  c.body_cut_ = c.ahead_.size() == want && want < body_size;
  return true;
}

// False when the folder cannot take another capture (said once). A folder
// found full is marked, so that the next requests skip counting it.
bool folder_has_room(const Settings& s) {
  const std::string full_marker = in_folder(s.folder, std::string(kFullMarker));
  const std::string full = "the folder " + s.folder + " holds as many captures as CGIECHO_CAPTURE_MAX allows (" +
                           std::to_string(s.max_files) + ")";
  const std::int64_t now = platform::unix_time_microseconds();
  std::int64_t marked = 0;
  if (platform::file_time(full_marker, marked) && marked <= now && now - marked < kFullRecount) {
    say_once(full);
    return false;
  }
  std::uint64_t count = 0;
  std::string error;
  if (!platform::count_files(s.folder, kFileSuffix, s.max_files, count, error)) {
    say_once("the folder " + s.folder + " cannot be read: " + error);
    return false;
  }
  if (count < s.max_files) return true;
  // Made anew, so that its time is now; another process may be doing the
  // same, and one file is all it takes.
  platform::remove_file(full_marker);
  std::intptr_t marker = 0;
  if (platform::create_private_file(full_marker, marker, error) == platform::Created::ok)
    platform::close_file(marker);
  say_once(full);
  return false;
}

// A new file in the folder, never one that is there; false (said once)
// when none can be made.
bool create_capture_file(Recording::Channel& c, const std::string& folder) {
  std::string error;
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    c.path_ = in_folder(folder, capture_file_name(platform::unix_time_microseconds(), platform::process_id(), ++g_sequence));
    switch (platform::create_private_file(c.path_, c.file_, error)) {
      case platform::Created::ok:
        c.file_open_ = true;
        return true;
      case platform::Created::exists:
        break;
      case platform::Created::failed:
        say_once(c.path_ + " cannot be created: " + error);
        return false;
    }
  }
  say_once("no new name for a capture in " + folder);
  return false;
}

// Every record but the response's: the variables, the command-line tail
// and the body, which, when small, is copied behind them so that the
// request goes to the file in one write; a large body stays in `body`, to
// be written from where it was read rather than copied once more. A body
// whose credentials were removed is `edited`, and `body` shows it.
std::string request_records(Recording::Channel& c, platform::Variables request, bool keep_secrets,
                            std::string& edited, std::string_view& body) {
  body = std::string_view(c.ahead_).substr(0, static_cast<std::size_t>(c.body_kept_));
  std::optional<std::uint64_t> declared = c.declared_;
  std::optional<std::string> length;  // CONTENT_LENGTH as the file gives it, when an edit changed the body
  if (!keep_secrets) {
    std::optional<std::string> kept = body_without_secrets(text::value_of(request, "CONTENT_TYPE"), body, &c.removed_);
    if (kept) {
      // As long as announced, less what the edit took out and plus what it
      // put in, so that a replay reads exactly the body the file holds.
      declared = c.announced_ - body.size() + kept->size();
      length = std::to_string(*declared);
      edited = std::move(*kept);
      body = edited;
    }
  }
  std::string records(kFirstLine);
  for (const auto& [name, value] : kept_variables(std::move(request), keep_secrets, &c.removed_))
    append_param(records, name, length && text::equals_ignoring_case(name, "CONTENT_LENGTH") ? *length : value);
  append_argv(records, platform::command_tail());
  append_body_header(records, declared, body.size(), c.body_cut_);
  if (body.size() <= kCopiedBody) {
    records += body;
    records += '\n';
    body = {};
  }
  return records;
}

// Writes the request to a new file. A file the disk had no room for goes,
// rather than stay a torn capture.
bool write_request(Recording::Channel& c, const Settings& s, platform::Variables request) {
  std::string edited;
  std::string_view body;
  // All that can fail for want of memory comes before the file is made.
  const std::string records = request_records(c, std::move(request), s.keep_secrets, edited, body);
  if (!create_capture_file(c, s.folder)) return false;
  std::string error;
  if (!platform::write_file(c.file_, records, error) ||
      (!body.empty() && (!platform::write_file(c.file_, body, error) || !platform::write_file(c.file_, "\n", error)))) {
    platform::close_file(c.file_);
    platform::remove_file(c.path_);
    c.file_open_ = false;
    say_once(c.path_ + " cannot be written: " + error);
    return false;
  }
  return true;
}

}  // namespace

void Recording::start(bool keep_response) {
  Settings settings;
  if (!read_settings(settings)) return;
  channel_ = new Channel(platform::channel());
  g_recording = true;
  Channel& c = *channel_;
  platform::Variables request = platform::environment();
  const bool held = read_ahead(c, read_ahead_limit(settings.max_body, request));
  platform::set_channel(channel_);
  if (!held || !folder_has_room(settings) || !write_request(c, settings, std::move(request))) return;
  c.keep_secrets_ = settings.keep_secrets;
  if (keep_response) {
    c.max_kept_ = settings.max_body;
    c.keep_response_ = true;
  } else {
    platform::close_file(c.file_);
    c.file_open_ = false;
  }
}

void Recording::finish() {
  if (channel_ == nullptr) return;
  Channel& c = *channel_;
  if (platform::channel() == channel_) platform::set_channel(c.previous_);
  if (c.file_open_) {
    // A response record the disk took in part would tear the file: then
    // the file goes, as one whose request could not be written.
    bool torn = false;
    if (c.keep_response_) {
      try {
        std::string record;
        std::string error;
        const bool cut = c.written_ > c.kept_.size();
        append_response(record, c.keep_secrets_ ? c.kept_ : without_secrets(c.kept_, c.removed_, cut), cut);
        if (!platform::write_file(c.file_, record, error)) {
          torn = true;
          say_once(c.path_ + ": the response cannot be added: " + error);
        }
      } catch (...) {
        // no memory for the record: the file stays whole, without it
      }
    }
    platform::close_file(c.file_);
    if (torn) platform::remove_file(c.path_);
  }
  delete channel_;
  channel_ = nullptr;
  g_recording = false;
}

void capture_process_request() {
  static bool asked = false;
  if (asked) return;
  asked = true;
  // Finished only as the process ends: until then it serves the body it
  // read ahead, for as long as the process reads its input.
  static Recording recording;
  recording.begin(false);
}

}  // namespace cgiecho::capture
