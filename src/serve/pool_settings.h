// What a FastCGI responder's own environment asks of it beyond where it
// listens: the pool of worker processes (CGIECHO_WORKERS and the settings
// that need it), who it runs as, and how its socket is made. Read once at
// start, from the process's environment only, never from a request.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace cgiecho {

struct PoolSettings {
  std::uint32_t workers = 0;          // CGIECHO_WORKERS, 1 to 1,024; 0: no pool, one process
  std::uint32_t request_timeout = 0;  // CGIECHO_REQUEST_TIMEOUT seconds, 1 to 86,400; 0: none
  std::uint64_t max_requests = 0;     // CGIECHO_MAX_REQUESTS, 1 to 1,000,000,000; 0: none
  std::uint32_t stop_timeout = 30;    // CGIECHO_STOP_TIMEOUT seconds, 0 to 3,600
  std::uint32_t reload_timeout = 60;  // CGIECHO_RELOAD_TIMEOUT seconds for a new version to start, 1 to 3,600
  std::uint32_t backlog = 128;        // CGIECHO_BACKLOG, 1 to 65,535
  std::uint32_t listen_mode = 0660;   // CGIECHO_LISTEN_MODE, octal, up to 0777
  std::string user;                   // CGIECHO_USER: a name or a number; "" stays who it is
  std::string group;                  // CGIECHO_GROUP: needs CGIECHO_USER
  std::string listen_group;           // CGIECHO_LISTEN_GROUP
  std::string status_path;            // CGIECHO_STATUS_PATH: begins with "/"; "" none
};

// The settings, or the first value that is not one: `error` then names the
// variable, its value and what it must be ("CGIECHO_WORKERS=many: not a
// whole number from 1 to 1024"), and the responder ends with status 2. A
// variable set to "" counts as unset. The timeout, recycling, reload and status
// settings need the pool: given without CGIECHO_WORKERS they are an error,
// never silently ignored.
struct PoolSettingsRead {
  PoolSettings settings;
  std::string error;  // "" when every value is good
};

// `lookup` gives a variable's value, "" when unset (platform::process_env).
PoolSettingsRead read_pool_settings(const std::function<std::string(std::string_view)>& lookup);

}  // namespace cgiecho
