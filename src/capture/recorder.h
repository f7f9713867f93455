// Capture while serving: when the server configuration sets
// CGIECHO_CAPTURE_DIR, each request is written to a new file in that
// folder before the program answers it, and the answer is added after.
//
// Settings, each the request's own variable (a FastCGI parameter) when it
// has one, else the process's environment; a client cannot set them, as
// its headers arrive as HTTP_* variables:
//   CGIECHO_CAPTURE_DIR       the folder; unset or empty: nothing is captured
//   CGIECHO_CAPTURE_MAX       files the folder may hold (default 1000)
//   CGIECHO_CAPTURE_MAX_BODY  bytes kept of a body, and of a response, per
//                             file (default 16 MiB); past it the record says "cut"
//   CGIECHO_CAPTURE_SECRETS   "1" keeps the values of HTTP_COOKIE,
//                             HTTP_AUTHORIZATION and HTTP_PROXY_AUTHORIZATION;
//                             otherwise each is replaced by kSecretMarker
// A capture that cannot be made never changes the response; the first
// reason is said once per process on standard error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "capture/capture_file.h"

namespace cgiecho::capture {

inline constexpr std::string_view kSecretMarker = "(removed by cgiecho capture)";
inline constexpr std::uint64_t kDefaultMaxFiles = 1000;
inline constexpr std::uint64_t kDefaultMaxBody = std::uint64_t{16} << 20;
// Every capture file's name ends so, and only such names count against
// CGIECHO_CAPTURE_MAX.
inline constexpr std::string_view kFileSuffix = ".capture";
// Counting a folder costs a read of it, up to CGIECHO_CAPTURE_MAX names.
// A folder found full gets this file; while it is younger than
// kFullRecount, requests take the folder for full without counting it.
inline constexpr std::string_view kFullMarker = "cgiecho-capture-full";
inline constexpr std::int64_t kFullRecount = 10'000'000;  // microseconds

// The variables as a capture keeps them: the capture's own settings and
// Windows' "=C:" entries left out (a replay must not capture again),
// secret values replaced unless `keep_secrets`. Names compare without
// case, as Windows reads them.
Variables kept_variables(Variables all, bool keep_secrets);

// "20250102-030405.678901-1234-1.capture": UTC time to the microsecond,
// process id and a count within the process; names sort by time.
std::string capture_file_name(std::int64_t unix_microseconds, std::uint64_t process_id, std::uint64_t sequence);

// A plain decimal number (digits only, leading zeros allowed, at most
// 2^64 - 1), as CONTENT_LENGTH and the settings are read.
std::optional<std::uint64_t> plain_decimal(std::string_view text);

// One request being captured. begin() comes before the program reads the
// request, finish() after it answered; between them the request is served
// through the recording, which hands the program the body it read ahead
// and keeps a copy of what the program writes.
class Recording {
 public:
  Recording() = default;
  Recording(const Recording&) = delete;
  Recording& operator=(const Recording&) = delete;
  ~Recording();

  // Does nothing but look up CGIECHO_CAPTURE_DIR unless it is set. With
  // `keep_response` false the answer is not kept (no response record).
  void begin(bool keep_response);
  // Adds the response record and closes the file; the request is served
  // by what served it before begin(). Called by the destructor if need be.
  void finish();

  class Channel;

 private:
  void start(bool keep_response);
  Channel* channel_ = nullptr;
};

// For programs that call the exported request readers rather than serve():
// the first call in a process begins a recording that lasts as long as the
// process, without a response record (the routines cannot tell where an
// answer ends). Later calls do nothing.
void capture_process_request();

}  // namespace cgiecho::capture
