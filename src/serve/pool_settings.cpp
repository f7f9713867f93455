#include "serve/pool_settings.h"

#include "text/decimal.h"

namespace cgiecho {
namespace {

class Reader {
 public:
  explicit Reader(const std::function<std::string(std::string_view)>& lookup) : lookup_(lookup) {}

  // A whole number from `low` to `high`, or `fallback` when unset.
  template <class Number>
  void number(const char* name, Number low, Number high, Number& out) {
    const std::string value = lookup_(name);
    if (value.empty() || !error_.empty()) return;
    const text::Decimal read = text::parse_decimal(value);
    if (read.outcome != text::Decimal::Outcome::number || read.value < low || read.value > high) {
      refuse(name, value, "not a whole number from " + std::to_string(low) + " to " + std::to_string(high));
      return;
    }
    out = static_cast<Number>(read.value);
  }

  // A file mode in octal, as chmod takes it: up to four digits 0-7, at most 0777.
  void mode(const char* name, std::uint32_t& out) {
    const std::string value = lookup_(name);
    if (value.empty() || !error_.empty()) return;
    std::uint32_t mode = 0;
    bool octal = value.size() <= 4;
    for (char c : value) {
      if (c < '0' || c > '7') octal = false;
      mode = mode * 8 + static_cast<std::uint32_t>(c - '0');
    }
    if (!octal || mode > 0777) {
      refuse(name, value, "not an octal file mode from 0 to 0777");
      return;
    }
    out = mode;
  }

  // Text that only the system can judge further (a user name); no NUL
  // can come from an environment.
  void text(const char* name, std::string& out) {
    if (error_.empty()) out = lookup_(name);
  }

  void refuse(std::string_view name, std::string_view value, std::string_view why) {
    if (!error_.empty()) return;
    error_ = std::string(name) + "=" + std::string(value) + ": " + std::string(why);
  }

  std::string take_error() { return std::move(error_); }

 private:
  const std::function<std::string(std::string_view)>& lookup_;
  std::string error_;
};

}  // namespace

PoolSettingsRead read_pool_settings(const std::function<std::string(std::string_view)>& lookup) {
  PoolSettingsRead out;
  PoolSettings& s = out.settings;
  Reader r(lookup);
  r.number("CGIECHO_WORKERS", 1u, 1024u, s.workers);
  r.number("CGIECHO_REQUEST_TIMEOUT", 1u, 86400u, s.request_timeout);
  r.number("CGIECHO_MAX_REQUESTS", std::uint64_t{1}, std::uint64_t{1000000000}, s.max_requests);
  r.number("CGIECHO_STOP_TIMEOUT", 0u, 3600u, s.stop_timeout);
  r.number("CGIECHO_RELOAD_TIMEOUT", 1u, 3600u, s.reload_timeout);
  r.number("CGIECHO_BACKLOG", 1u, 65535u, s.backlog);
  r.mode("CGIECHO_LISTEN_MODE", s.listen_mode);
  r.text("CGIECHO_USER", s.user);
  r.text("CGIECHO_GROUP", s.group);
  r.text("CGIECHO_LISTEN_GROUP", s.listen_group);
  r.text("CGIECHO_STATUS_PATH", s.status_path);
  if (!s.status_path.empty() && s.status_path.front() != '/')
    r.refuse("CGIECHO_STATUS_PATH", s.status_path, "not a path that begins with \"/\"");
  if (!s.group.empty() && s.user.empty())
    r.refuse("CGIECHO_GROUP", s.group, "needs CGIECHO_USER, the user the workers run as");
  // Each of these acts on workers the master watches; one process alone
  // would silently do without it.
  if (s.workers == 0) {
    for (const char* name : {"CGIECHO_REQUEST_TIMEOUT", "CGIECHO_MAX_REQUESTS", "CGIECHO_RELOAD_TIMEOUT",
                             "CGIECHO_STATUS_PATH"}) {
      const std::string value = lookup(name);
      if (!value.empty()) r.refuse(name, value, "needs a pool of workers: set CGIECHO_WORKERS too");
    }
  }
  out.error = r.take_error();
  if (!out.error.empty()) out.settings = PoolSettings{};
  return out;
}

}  // namespace cgiecho
