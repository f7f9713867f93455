/// @file
/// A file part of a multipart form, owned by its Request: in memory while it
/// is small, otherwise in a private temp file that no other user can open and
/// that is gone however the process ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

#include <cgiecho/web/errors.h>

namespace cgiecho::web {

/// One file part of a form: its name, the client's filename and type, and
/// its data, to read or to keep.
class UploadedFile {
 public:
  /// The part's name (the form field's).
  std::string_view name() const noexcept;
  std::string_view filename() const noexcept;  ///< the client's: never a path to use
  /// Whether the part had a Content-Type header.
  bool has_content_type() const noexcept;
  /// The header's value, trimmed; "" when there was none.
  std::string_view content_type() const noexcept;
  /// The data's size in bytes.
  std::uint64_t size() const noexcept;

  /// Whether the data is in memory, and then the data itself.
  bool in_memory() const noexcept;
  std::string_view data() const noexcept;  ///< empty when it is in a temp file
  /// Up to `count` bytes from `offset` into `buffer`, wherever the data is:
  /// the bytes read (fewer only at the end; 0 past it).
  /// errc::temp_file_failed when the temp file cannot be read.
  [[nodiscard]] result<std::size_t> read(std::uint64_t offset, char* buffer, std::size_t count) const noexcept;

  /// Puts the data at `path` in one step (the program's name, never the
  /// client's filename; UTF-8 on Windows): on Linux a temp file is linked
  /// there without copying a byte; otherwise the bytes are copied. The new
  /// file is private to the program's user (mode 0600 on Linux; on Windows
  /// a DACL that lets its owner alone in and inherits nothing from the
  /// folder), like the temp file. An existing `path`, a link there
  /// included, is never replaced nor followed, and a path that cannot be
  /// made (no such folder, NUL in it) fails: errc::keep_failed, with
  /// nothing left at `path`, and the error's system() says the system's
  /// reason (errno on Linux, GetLastError() on Windows, in
  /// std::system_category(); EEXIST or ERROR_FILE_EXISTS when `path` is
  /// taken; a moved-from file, which holds nothing, is
  /// std::errc::bad_file_descriptor). The upload stays readable afterwards.
  [[nodiscard]] result<void> keep(std::string_view path) const noexcept;
  /// The same as a new file `name` in `folder`, where nothing can send it
  /// elsewhere between a check and the keep: the folder is opened once, as
  /// given (a link naming the folder is followed), and `name` is made
  /// inside what was opened; a link at `name` is never followed nor
  /// replaced. `name` is one plain name (not empty, ".", "..", nor holding
  /// "/", "\\" or NUL; on Windows no ":" either), else keep_failed with
  /// EINVAL (ERROR_INVALID_NAME). A folder that does not exist or is not a
  /// folder is the system's ENOENT or ENOTDIR (ERROR_FILE_NOT_FOUND or
  /// ERROR_PATH_NOT_FOUND, or ERROR_DIRECTORY).
  [[nodiscard]] result<void> keep_in(std::string_view folder, std::string_view name) const noexcept;

  UploadedFile() noexcept;
  /// Moves the file; the one moved from holds nothing.
  UploadedFile(UploadedFile&&) noexcept;
  /// Moves the file; the one moved from holds nothing.
  UploadedFile& operator=(UploadedFile&&) noexcept;
  ~UploadedFile();

 private:
  friend class FormCollector;
  struct Data;
  explicit UploadedFile(std::unique_ptr<Data> data) noexcept;
  std::unique_ptr<Data> data_;
};

}  // namespace cgiecho::web
