/// @file
/// Capture while serving: when the server configuration sets
/// CGIECHO_CAPTURE_DIR, each request is written to a new file in that
/// folder before the program answers it, and the answer is added after.
///
/// Settings, each from the process's own environment: under CGI that is
/// the server's, under FastCGI the responder's, never a request's
/// parameters (a setting names a folder, and a request must not choose
/// where files go). A client cannot set them either: its headers arrive as
/// HTTP_* variables.
///   CGIECHO_CAPTURE_DIR       the folder; unset or empty: nothing is captured
///   CGIECHO_CAPTURE_MAX       files the folder may hold (default 1000)
///   CGIECHO_CAPTURE_MAX_BODY  bytes kept of a body, and of a response, per
///                             file (default 16 MiB); past it the record says
///                             "cut". The body read ahead is no more than
///                             this, nor than CGIECHO_MAX_BODY where that is
///                             set (the program's own limit).
///   CGIECHO_CAPTURE_SECRETS   "1" keeps credentials; otherwise the values of
///                             secret variables (is_secret_name), of secret
///                             fields in queries (kept_variables) and in form
///                             bodies (body_without_secrets), Set-Cookie
///                             values in the answer, and the answer's echoes
///                             of removed values (without_secrets) are each
///                             replaced by kSecretMarker
/// A capture that cannot be made never changes the response; the first
/// reason is said once per process on standard error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <cgiecho/capture/capture_file.h>

namespace cgiecho::capture {

/// What a capture holds in place of a credential's value (a password, a
/// cookie, an Authorization header) and of its echo in the response.
inline constexpr std::string_view kSecretMarker = "(removed by cgiecho capture)";
/// Capture files kept in the folder when CGIECHO_CAPTURE_MAX is unset.
inline constexpr std::uint64_t kDefaultMaxFiles = 1000;
/// Body bytes kept when CGIECHO_CAPTURE_MAX_BODY is unset.
inline constexpr std::uint64_t kDefaultMaxBody = std::uint64_t{16} << 20;
/// Every capture file's name ends so, and only such names count against
/// CGIECHO_CAPTURE_MAX.
inline constexpr std::string_view kFileSuffix = ".capture";
/// Counting a folder costs a read of it, up to CGIECHO_CAPTURE_MAX names.
/// A folder found full gets this file; while it is younger than
/// kFullRecount, requests take the folder for full without counting it.
inline constexpr std::string_view kFullMarker = "cgiecho-capture-full";
inline constexpr std::int64_t kFullRecount = 10'000'000;  ///< microseconds

/// Whether a variable's, a query field's or a form field's value is a
/// credential: its name, without case, holds AUTHORIZATION, COOKIE,
/// PASSWORD, PASSWD, SECRET, TOKEN, SESSION, JWT or CREDENTIAL, has AUTH as
/// a word (words are split at "_", "-" and "."), or ends in KEY.
bool is_secret_name(std::string_view name);

/// The variables as a capture keeps them: the capture's own settings and
/// Windows' "=C:" entries left out (a replay must not capture again),
/// secret values replaced unless `keep_secrets`. Names compare without
/// case, as Windows reads them. In the query of a variable that holds one
/// (a name ending in QUERY_STRING; ending in URI or URL, after its "?" and
/// up to a "#") each field whose name, as sent or percent-decoded, is a
/// secret's keeps its name and loses its value; a name ending in REFERER
/// loses everything after its "?". Each value replaced (but empty ones) is
/// added to `removed` when given, a field's also percent-decoded.
Variables kept_variables(Variables all, bool keep_secrets, std::vector<std::string>* removed = nullptr);

/// A body as a capture keeps it without credentials, by `content_type`: in
/// application/x-www-form-urlencoded data the value of each field, and in
/// multipart/form-data the content of each part, whose name (as sent or
/// percent-decoded) is a secret's replaced by kSecretMarker. Nothing when
/// nothing was replaced: a body of any other type, or one that holds no
/// multipart delimiter, is kept as it is. Each value replaced (but empty
/// ones) is added to `removed` when given, a url-encoded one also decoded.
std::optional<std::string> body_without_secrets(std::string_view content_type, std::string_view body,
                                                std::vector<std::string>* removed = nullptr);

/// A response as a capture keeps it without credentials: the value of each
/// Set-Cookie line of its head replaced by kSecretMarker (the header's name
/// kept), and every echo of one of `removed` replaced too: the value as it
/// is, or with any of its bytes percent-encoded (a space also `+`),
/// JSON-escaped (`\"`, `\\`, `\/`, `\n` and the other short escapes,
/// `\u00XX` for an ASCII byte) or HTML-escaped (`&lt;`, `&gt;`, `&amp;`,
/// `&quot;`, `&#34;`, `&#39;`, `&#x27;`), escapes in any case. Where echoes
/// overlap, the first to start goes, the longest of those. `cut`: the
/// response stops where the capture's limit did, so a tail that may be the
/// start of an echo goes as well. The search takes at most 2^24 steps and
/// 32 more for each byte of `response` (only a crafted request, a long value
/// and long near-echoes of it, comes near); past them the rest of the
/// response, from where it stopped, is one kSecretMarker.
std::string without_secrets(std::string_view response, const std::vector<std::string>& removed, bool cut);

/// Bytes of a response the capture still has room for, with `kept` bytes
/// kept of at most `max_kept`: counted in 64 bits, never more than memory
/// can address.
std::size_t response_room(std::uint64_t max_kept, std::uint64_t kept);

/// "20250102-030405.678901-1234-1.capture": UTC time to the microsecond,
/// process id and a count within the process; names sort by time.
/// The name of a capture file: the time, the process and a sequence number, so
/// that names sort by time and never collide.
std::string capture_file_name(std::int64_t unix_microseconds, std::uint64_t process_id, std::uint64_t sequence);

/// One request being captured. begin() comes before the program reads the
/// request, finish() after it answered; between them the request is served
/// through the recording, which hands the program the body it read ahead
/// and keeps a copy of what the program writes.
class Recording {
 public:
  Recording() = default;
  Recording(const Recording&) = delete;
  Recording& operator=(const Recording&) = delete;
  ~Recording();

  /// Does nothing but look up CGIECHO_CAPTURE_DIR unless it is set. With
  /// `keep_response` false the answer is not kept (no response record).
  void begin(bool keep_response);
  /// Adds the response record and closes the file; the request is served
  /// by what served it before begin(). Called by the destructor if need be.
  void finish();

  class Channel;

 private:
  void start(bool keep_response);
  Channel* channel_ = nullptr;
};

/// For programs that call the exported request readers rather than serve():
/// the first call in a process begins a recording that lasts as long as the
/// process, without a response record (the routines cannot tell where an
/// answer ends). Later calls do nothing.
void capture_process_request();

}  // namespace cgiecho::capture
