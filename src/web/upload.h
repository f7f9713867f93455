// A file part of a multipart form, owned by its Request: in memory while it
// is small, otherwise in a private temp file that no other user can open and
// that is gone however the process ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "web/errors.h"

namespace cgiecho::web {

class UploadedFile {
 public:
  std::string_view name() const noexcept;
  std::string_view filename() const noexcept;  // the client's: never a path to use
  bool has_content_type() const noexcept;
  std::string_view content_type() const noexcept;
  std::uint64_t size() const noexcept;

  // Whether the data is in memory, and then the data itself.
  bool in_memory() const noexcept;
  std::string_view data() const noexcept;  // empty when it is in a temp file
  // Up to `count` bytes from `offset`, wherever the data is (fewer only at
  // the end); `got` is 0 past the end. errc::temp_file_failed when the
  // temp file cannot be read.
  errc read(std::uint64_t offset, char* buffer, std::size_t count, std::size_t& got) const noexcept;

  // Puts the data at `path` in one step (the program's name, never the
  // client's filename; UTF-8 on Windows): on Linux a temp file is linked
  // there without copying a byte; otherwise the bytes are copied. The new
  // file is private to the program's user (mode 0600 on Linux), like the
  // temp file. An existing `path` is never replaced, and a path that cannot
  // be made (no such folder, NUL in it) fails: errc::keep_failed, with
  // nothing left at `path`. The upload stays readable afterwards.
  errc keep(std::string_view path) const noexcept;

  UploadedFile() noexcept;
  UploadedFile(UploadedFile&&) noexcept;
  UploadedFile& operator=(UploadedFile&&) noexcept;
  ~UploadedFile();

 private:
  friend class FormCollector;
  struct Data;
  explicit UploadedFile(std::unique_ptr<Data> data) noexcept;
  std::unique_ptr<Data> data_;
};

}  // namespace cgiecho::web
