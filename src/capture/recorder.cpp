#include <cgiecho/capture/recorder.h>

#include <algorithm>
#include <new>

#include <cgiecho/platform/platform.h>
#include <cgiecho/request/number.h>

#include "text/ascii.h"
#include "text/decimal.h"

namespace cgiecho::capture {
namespace {

constexpr std::string_view kSettingPrefix = "CGIECHO_CAPTURE_";
// A name holding one of these, without case, names a credential.
constexpr std::string_view kSecretWords[] = {"AUTHORIZATION", "COOKIE", "PASSWORD", "PASSWD",
                                             "SECRET",        "TOKEN",  "SESSION"};
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

void say_once(const std::string& why) {
  if (g_said) return;
  g_said = true;
  platform::write_stderr("cgiecho: requests are answered but not captured: " + why + "\n");
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

}  // namespace

bool is_secret_name(std::string_view name) {
  for (const std::string_view word : kSecretWords)
    if (find_no_case(name, word) != std::string_view::npos) return true;
  return name.size() >= kSecretEnding.size() &&
         text::equals_ignoring_case(name.substr(name.size() - kSecretEnding.size()), kSecretEnding);
}

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

// How many bytes at the end of `text` are the first bytes (not all) of one
// of `values`: the most for any of them.
std::size_t secret_start_at_end(std::string_view text, const std::vector<std::string>& values) {
  std::size_t longest = 0;
  for (const auto& v : values)
    for (std::size_t n = v.empty() ? 0 : std::min(v.size() - 1, text.size()); n > longest; --n)
      if (text.substr(text.size() - n) == std::string_view(v).substr(0, n)) {
        longest = n;
        break;
      }
  return longest;
}

}  // namespace

std::string without_secrets(std::string_view response, const std::vector<std::string>& removed, bool cut) {
  // The next place each removed value appears, kept at or past `at`.
  std::vector<std::size_t> next(removed.size());
  for (std::size_t k = 0; k < removed.size(); ++k) next[k] = response.find(removed[k]);
  std::string out;
  out.reserve(response.size());
  std::size_t at = 0;
  std::size_t plain = 0;  // where in `out` the bytes after the last marker start
  const auto put_marker = [&] {
    out += kSecretMarker;
    plain = out.size();
  };
  // Copies the bytes up to `end`, each removed value among them replaced:
  // the first to appear, the longest of those that start there.
  const auto copy_until = [&](std::size_t end) {
    while (at < end) {
      std::size_t which = removed.size();
      for (std::size_t k = 0; k < removed.size(); ++k) {
        if (next[k] != std::string_view::npos && next[k] < at) next[k] = response.find(removed[k], at);
        if (next[k] == std::string_view::npos || next[k] + removed[k].size() > end) continue;
        if (which == removed.size() || next[k] < next[which] ||
            (next[k] == next[which] && removed[k].size() > removed[which].size()))
          which = k;
      }
      if (which == removed.size()) break;
      out.append(response.substr(at, next[which] - at));
      put_marker();
      at = next[which] + removed[which].size();
    }
    out.append(response.substr(at, end - at));
    at = end;
  };
  for (const auto& [from, to] : set_cookie_values(response)) {
    copy_until(from);
    put_marker();
    at = to;
  }
  copy_until(response.size());
  if (cut) {
    // The limit may have cut a removed value short: its first bytes go too.
    const std::size_t tail = secret_start_at_end(std::string_view(out).substr(plain), removed);
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
// be written from where it was read rather than copied once more.
std::string request_records(Recording::Channel& c, platform::Variables request, bool keep_secrets,
                            std::string_view& body) {
  std::string records(kFirstLine);
  for (const auto& [name, value] : kept_variables(std::move(request), keep_secrets, &c.removed_))
    append_param(records, name, value);
  append_argv(records, platform::command_tail());
  append_body_header(records, c.declared_, c.body_kept_, c.body_cut_);
  body = std::string_view(c.ahead_).substr(0, static_cast<std::size_t>(c.body_kept_));
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
  std::string_view body;
  // All that can fail for want of memory comes before the file is made.
  const std::string records = request_records(c, std::move(request), s.keep_secrets, body);
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
