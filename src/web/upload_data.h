// What an UploadedFile holds, shared by the file and the collector that
// fills it; not a public header.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <cgiecho/platform/platform.h>
#include <cgiecho/web/upload.h>

namespace cgiecho::web {

// The data is in exactly one place: `stable` (a view into a body that
// outlives the file), `memory`, or `file` (when on_disk).
struct UploadedFile::Data {
  std::string name;
  std::string filename;
  bool has_content_type = false;
  std::string content_type;
  std::uint64_t size = 0;
  std::string_view stable;
  std::string memory;
  bool on_disk = false;
  platform::TempFile file;
};

}  // namespace cgiecho::web
