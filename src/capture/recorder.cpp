#include "capture/recorder.h"

#include <algorithm>
#include <new>

#include "platform/platform.h"
#include "request/number.h"

namespace cgiecho::capture {
namespace {

constexpr std::string_view kSettingPrefix = "CGIECHO_CAPTURE_";
constexpr std::string_view kSecrets[] = {"HTTP_COOKIE", "HTTP_AUTHORIZATION", "HTTP_PROXY_AUTHORIZATION"};
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

// The request's own setting when it has one, else the process's: under
// FastCGI a server passes settings either way. A responder's own
// environment does not change, so it is looked through once.
std::string setting(std::string_view name) {
  std::string value = platform::env(name);
  if (!value.empty() || platform::channel() == nullptr) return value;
  static const platform::Variables own = platform::process_environment();
  for (const auto& [n, v] : own)
    if (n == name) return v;
  return value;
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

char ascii_upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool same_no_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return ascii_upper(x) == ascii_upper(y); });
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
    AsBefore before(*this);
    return platform::read_input(buffer, count);
  }

  bool write(std::string_view bytes) override {
    if (keep_response_) {
      written_ += bytes.size();
      const std::size_t room = kept_.size() < max_kept_ ? static_cast<std::size_t>(max_kept_ - kept_.size()) : 0;
      try {
        kept_.append(bytes.substr(0, room));
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
  bool keep_response_ = false;
  std::uint64_t max_kept_ = 0;
  std::string kept_;
  std::uint64_t written_ = 0;
  bool file_open_ = false;
  std::intptr_t file_ = 0;
  std::string path_;
};

Variables kept_variables(Variables all, bool keep_secrets) {
  Variables kept;
  kept.reserve(all.size());
  for (auto& [name, value] : all) {
    // Windows keeps each drive's current folder in entries named "=C:" and
    // the like: the system's, not the request's, and no other system
    // could take them back.
    if (!name.empty() && name[0] == '=') continue;
    if (name.size() >= kSettingPrefix.size() &&
        same_no_case(std::string_view(name).substr(0, kSettingPrefix.size()), kSettingPrefix))
      continue;
    const bool secret = std::any_of(std::begin(kSecrets), std::end(kSecrets),
                                    [&name = name](std::string_view s) { return same_no_case(name, s); });
    kept.emplace_back(std::move(name), secret && !keep_secrets ? std::string(kSecretMarker) : std::move(value));
  }
  return kept;
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

std::optional<std::uint64_t> plain_decimal(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::uint64_t n = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (n > (UINT64_MAX - digit) / 10) return std::nullopt;
    n = n * 10 + digit;
  }
  return n;
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

void Recording::start(bool keep_response) {
  const std::string folder = setting("CGIECHO_CAPTURE_DIR");
  if (folder.empty()) return;  // the cost of capture while it is off: this lookup
  std::uint64_t max_files = 0;
  std::uint64_t max_body = 0;
  if (!limit_setting("CGIECHO_CAPTURE_MAX", kDefaultMaxFiles, max_files) ||
      !limit_setting("CGIECHO_CAPTURE_MAX_BODY", kDefaultMaxBody, max_body))
    return;
  const bool keep_secrets = setting("CGIECHO_CAPTURE_SECRETS") == "1";
  channel_ = new Channel(platform::channel());
  g_recording = true;
  Channel& c = *channel_;

  // The body is read ahead, so that the file holds it before the program
  // runs; one byte past the limit tells a cut body from a whole one. A
  // length that is not a plain number is read as the request readers of
  // the 52 routines read it (" 42", "42abc"), so that a replay hands the
  // program the bytes it took.
  const std::string length = platform::env("CONTENT_LENGTH");
  const std::optional<std::uint64_t> declared = plain_decimal(length);
  const std::int32_t legacy = declared ? 0 : cgi_val(length);
  const std::uint64_t body_size = declared ? *declared : legacy > 0 ? static_cast<std::uint64_t>(legacy) : 0;
  const std::uint64_t want = std::min(body_size, max_body == UINT64_MAX ? max_body : max_body + 1);
  bool whole_request = true;
  try {
    c.ahead_.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(want, SIZE_MAX)));
  } catch (const std::exception&) {
    whole_request = false;  // too large to hold: the program reads the body as it comes, and nothing is captured
    say_once("no memory to read a body of " + std::to_string(want) + " bytes ahead");
  }
  while (whole_request && c.ahead_.size() < want) {
    const std::size_t had = c.ahead_.size();
    c.ahead_.resize(static_cast<std::size_t>(want));  // within the room reserved: no allocation
    const std::size_t got = platform::read_stdin(c.ahead_.data() + had, c.ahead_.size() - had);
    c.ahead_.resize(had + got);
    if (got == 0) break;
  }
  platform::set_channel(channel_);
  if (!whole_request) return;

  const std::string full_marker = in_folder(folder, std::string(kFullMarker));
  const std::string full = "the folder " + folder + " holds as many captures as CGIECHO_CAPTURE_MAX allows (" +
                           std::to_string(max_files) + ")";
  const std::int64_t now = platform::unix_time_microseconds();
  std::int64_t marked = 0;
  if (platform::file_time(full_marker, marked) && marked <= now && now - marked < kFullRecount) {
    say_once(full);
    return;
  }
  std::uint64_t count = 0;
  std::string error;
  if (!platform::count_files(folder, kFileSuffix, max_files, count, error)) {
    say_once("the folder " + folder + " cannot be read: " + error);
    return;
  }
  if (count >= max_files) {
    // Made anew, so that its time is now; another process may be doing
    // the same, and one file is all it takes.
    platform::remove_file(full_marker);
    std::intptr_t marker = 0;
    if (platform::create_private_file(full_marker, marker, error) == platform::Created::ok)
      platform::close_file(marker);
    say_once(full);
    return;
  }
  std::string records(kFirstLine);
  for (const auto& [name, value] : kept_variables(platform::environment(), keep_secrets))
    append_param(records, name, value);
  append_argv(records, platform::command_tail());
  const bool cut = c.ahead_.size() > max_body;
  append_body_header(records, declared, cut ? max_body : c.ahead_.size(), cut);
  // A small request goes to the file in one write; a large body is written
  // from where it was read rather than copied once more. All that can fail
  // for want of memory comes before the file is made.
  std::string_view body = std::string_view(c.ahead_).substr(0, cut ? static_cast<std::size_t>(max_body) : c.ahead_.size());
  if (body.size() <= kCopiedBody) {
    records += body;
    records += '\n';
    body = {};
  }

  for (int attempt = 0; attempt < kNameAttempts && !c.file_open_; ++attempt) {
    c.path_ = in_folder(folder, capture_file_name(platform::unix_time_microseconds(), platform::process_id(), ++g_sequence));
    switch (platform::create_private_file(c.path_, c.file_, error)) {
      case platform::Created::ok:
        c.file_open_ = true;
        break;
      case platform::Created::exists:
        break;
      case platform::Created::failed:
        say_once(c.path_ + " cannot be created: " + error);
        return;
    }
  }
  if (!c.file_open_) {
    say_once("no new name for a capture in " + folder);
    return;
  }
  // A file the disk had no room for goes, rather than stay a torn capture.
  if (!platform::write_file(c.file_, records, error) ||
      (!body.empty() && (!platform::write_file(c.file_, body, error) || !platform::write_file(c.file_, "\n", error)))) {
    platform::close_file(c.file_);
    platform::remove_file(c.path_);
    c.file_open_ = false;
    say_once(c.path_ + " cannot be written: " + error);
    return;
  }
  if (keep_response) {
    c.max_kept_ = max_body;
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
        append_response(record, c.kept_, c.written_ > c.kept_.size());
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
