// Stands in for the multipart parser, the form collector and uploaded
// files until their own sources join the build: enough for the rest of the
// web layer to link, and every multipart body is refused as malformed.
#include "web/form_collector.h"
#include "web/multipart.h"
#include "web/upload.h"

namespace cgiecho::web {

bool media_type_is(std::string_view content_type, std::string_view type) noexcept {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  std::string_view essence = content_type.substr(0, content_type.find(';'));
  while (!essence.empty() && blank(essence.front())) essence.remove_prefix(1);
  while (!essence.empty() && blank(essence.back())) essence.remove_suffix(1);
  if (essence.size() != type.size()) return false;
  for (std::size_t i = 0; i < type.size(); ++i) {
    auto a = static_cast<unsigned char>(essence[i]);
    auto b = static_cast<unsigned char>(type[i]);
    if (a >= 'A' && a <= 'Z') a = static_cast<unsigned char>(a + 32);
    if (b >= 'A' && b <= 'Z') b = static_cast<unsigned char>(b + 32);
    if (a != b) return false;
  }
  return true;
}

errc multipart_boundary(std::string_view, std::string_view&) noexcept { return errc::malformed_multipart; }

struct MultipartParser::State {};
MultipartParser::MultipartParser(std::string_view, const Limits&, PartHandler&) noexcept : state_(nullptr) {}
errc MultipartParser::feed(std::string_view) noexcept {
  (void)state_;
  return errc::malformed_multipart;
}
errc MultipartParser::finish() noexcept { return errc::malformed_multipart; }
std::size_t MultipartParser::held() const noexcept { return 0; }
MultipartParser::~MultipartParser() = default;

errc parse_multipart(std::string_view, std::string_view, const Limits&, std::vector<Part>&) noexcept {
  return errc::malformed_multipart;
}

struct UploadedFile::Data {};
std::string_view UploadedFile::name() const noexcept { return {}; }
std::string_view UploadedFile::filename() const noexcept { return {}; }
bool UploadedFile::has_content_type() const noexcept { return false; }
std::string_view UploadedFile::content_type() const noexcept { return {}; }
std::uint64_t UploadedFile::size() const noexcept { return 0; }
bool UploadedFile::in_memory() const noexcept { return true; }
std::string_view UploadedFile::data() const noexcept { return {}; }
errc UploadedFile::read(std::uint64_t, char*, std::size_t, std::size_t& got) const noexcept {
  got = 0;
  return errc::ok;
}
errc UploadedFile::keep(std::string_view) const noexcept { return errc::keep_failed; }
UploadedFile::UploadedFile() noexcept = default;
UploadedFile::UploadedFile(UploadedFile&&) noexcept = default;
UploadedFile& UploadedFile::operator=(UploadedFile&&) noexcept = default;
UploadedFile::~UploadedFile() = default;

struct FormCollector::State {
  std::vector<Field> fields;
  std::vector<UploadedFile> files;
};
FormCollector::FormCollector(const Limits&, std::string_view) noexcept {}
FormCollector::~FormCollector() = default;
errc FormCollector::part_begin(const PartHead&) noexcept { return errc::malformed_multipart; }
errc FormCollector::part_data(std::string_view) noexcept { return errc::malformed_multipart; }
errc FormCollector::part_end() noexcept { return errc::malformed_multipart; }
const std::vector<Field>& FormCollector::fields() const noexcept {
  static const std::vector<Field> kNone;
  return kNone;
}
const std::vector<UploadedFile>& FormCollector::files() const noexcept {
  static const std::vector<UploadedFile> kNone;
  return kNone;
}

}  // namespace cgiecho::web
