#include <cgiecho/web/upload.h>

#include <algorithm>
#include <cstring>

#include "web/upload_data.h"

namespace cgiecho::web {

UploadedFile::UploadedFile() noexcept = default;
UploadedFile::UploadedFile(std::unique_ptr<Data> data) noexcept : data_(std::move(data)) {}
UploadedFile::UploadedFile(UploadedFile&&) noexcept = default;
UploadedFile& UploadedFile::operator=(UploadedFile&&) noexcept = default;
UploadedFile::~UploadedFile() = default;

// A moved-from or default file reads as an empty one without a name.
std::string_view UploadedFile::name() const noexcept { return data_ ? std::string_view(data_->name) : std::string_view(); }

std::string_view UploadedFile::filename() const noexcept {
  return data_ ? std::string_view(data_->filename) : std::string_view();
}

bool UploadedFile::has_content_type() const noexcept { return data_ && data_->has_content_type; }

std::string_view UploadedFile::content_type() const noexcept {
  return data_ ? std::string_view(data_->content_type) : std::string_view();
}

std::uint64_t UploadedFile::size() const noexcept { return data_ ? data_->size : 0; }

bool UploadedFile::in_memory() const noexcept { return !data_ || !data_->on_disk; }

std::string_view UploadedFile::data() const noexcept {
  if (!data_ || data_->on_disk) return {};
  return data_->memory.empty() ? data_->stable : std::string_view(data_->memory);
}

errc UploadedFile::read(std::uint64_t offset, char* buffer, std::size_t count, std::size_t& got) const noexcept {
  got = 0;
  if (data_ && data_->on_disk)
    return data_->file.read_at(offset, buffer, count, got) ? errc::ok : errc::temp_file_failed;
  const std::string_view bytes = data();
  if (offset >= bytes.size()) return errc::ok;
  got = static_cast<std::size_t>(std::min<std::uint64_t>(count, bytes.size() - offset));
  if (got > 0) std::memcpy(buffer, bytes.data() + offset, got);
  return errc::ok;
}

namespace {

errc result_of(platform::FileResult made, std::error_code& system) noexcept {
  system = made.ok() ? std::error_code() : std::error_code(made.code, std::system_category());
  return made.ok() ? errc::ok : errc::keep_failed;
}

}  // namespace

errc UploadedFile::keep(std::string_view path, std::error_code& system) const noexcept {
  if (!data_) {
    system = std::make_error_code(std::errc::bad_file_descriptor);
    return errc::keep_failed;
  }
  return result_of(data_->on_disk ? data_->file.keep_as(path) : platform::write_new_file(path, data()), system);
}

errc UploadedFile::keep(std::string_view path) const noexcept {
  std::error_code ignored;
  return keep(path, ignored);
}

errc UploadedFile::keep_in(std::string_view folder, std::string_view name, std::error_code& system) const noexcept {
  if (!data_) {
    system = std::make_error_code(std::errc::bad_file_descriptor);
    return errc::keep_failed;
  }
  return result_of(data_->on_disk ? data_->file.keep_in(folder, name)
                                  : platform::write_new_file_in(folder, name, data()),
                   system);
}

errc UploadedFile::keep_in(std::string_view folder, std::string_view name) const noexcept {
  std::error_code ignored;
  return keep_in(folder, name, ignored);
}

}  // namespace cgiecho::web
