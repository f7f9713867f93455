// A small upload receiver for the temp-file tests: reads a multipart body
// (boundary "drv") from standard input through the real platform, keeps
// each file part in memory up to the byte count given as its argument and
// beyond it in a temp file, and reports on standard output how many bytes
// it has taken after every read ("fed N"), then the outcome ("end CODE").
// A test kills it midway, or cuts its input off, and looks for leftovers.
#include <cstdint>
#include <cstdlib>
#include <string>

#include <cgiecho/platform/platform.h>

#include "web/form_collector.h"
#include "web/multipart.h"

int main(int argc, char** argv) {
  namespace web = cgiecho::web;
  namespace platform = cgiecho::platform;
  web::Limits limits;
  if (argc > 1) limits.memory = std::strtoull(argv[1], nullptr, 10);
  web::FormCollector collector(limits, {});
  web::MultipartParser parser("drv", limits, collector);
  web::errc e = web::errc::ok;
  std::uint64_t fed = 0;
  char buffer[4096];
  while (e == web::errc::ok) {
    const std::size_t got = platform::read_stdin(buffer, sizeof buffer);
    if (got == 0) break;
    e = parser.feed(std::string_view(buffer, got));
    fed += got;
    platform::write_stdout("fed " + std::to_string(fed) + "\n");
  }
  if (e == web::errc::ok) e = parser.finish();
  platform::write_stdout("end " + std::string(web::code_name(e)) + " " + std::to_string(collector.files().size()) +
                         "\n");
  return 0;
}
