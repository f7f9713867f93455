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

result<std::size_t> UploadedFile::read(std::uint64_t offset, char* buffer, std::size_t count) const noexcept {
  std::size_t got = 0;
  if (data_ && data_->on_disk) {
    if (!data_->file.read_at(offset, buffer, count, got)) return fail(errc::temp_file_failed);
    return got;
  }
  const std::string_view bytes = data();
  if (offset >= bytes.size()) return got;
  got = static_cast<std::size_t>(std::min<std::uint64_t>(count, bytes.size() - offset));
  if (got > 0) std::memcpy(buffer, bytes.data() + offset, got);
  return got;
}

namespace {

result<void> kept(platform::FileResult made) noexcept {
  if (made.ok()) return {};
  return fail(error(errc::keep_failed, std::error_code(made.code, std::system_category())));
}

// A moved-from file holds nothing to keep.
result<void> nothing_to_keep() noexcept {
  return fail(error(errc::keep_failed, std::make_error_code(std::errc::bad_file_descriptor)));
}

}  // namespace

result<void> UploadedFile::keep(std::string_view path) const noexcept {
  if (!data_) return nothing_to_keep();
  return kept(data_->on_disk ? data_->file.keep_as(path) : platform::write_new_file(path, data()));
}

result<void> UploadedFile::keep_in(std::string_view folder, std::string_view name) const noexcept {
  if (!data_) return nothing_to_keep();
  return kept(data_->on_disk ? data_->file.keep_in(folder, name) : platform::write_new_file_in(folder, name, data()));
}

}  // namespace cgiecho::web
