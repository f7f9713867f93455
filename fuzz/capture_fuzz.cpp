// The capture file reader on any bytes, against a plain reference written
// here: both accept the same files, read the same records, and name the
// same offset for a fault; every file accepted is exactly what the writer
// makes of what was read. What a capture removes of the credentials in the
// request read, run again on what it kept, changes nothing more, and the
// answer's echoes are looked for in any bytes.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <cgiecho/capture/capture_file.h>

#include "capture/recorder.h"

namespace {

using cgiecho::capture::Capture;

std::vector<std::string> split_blanks(std::string_view line) {
  std::vector<std::string> words(1);
  for (const char c : line) {
    if (c == ' ') {
      words.emplace_back();
    } else {
      words.back() += c;
    }
  }
  return words;
}

// 0 or digits without a leading zero, at most 2^64 - 1 (compared as text).
std::optional<std::uint64_t> number(const std::string& w) {
  static const std::string kMax = "18446744073709551615";
  if (w.empty() || w.size() > kMax.size()) return std::nullopt;
  if (w.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  if (w.size() > 1 && w[0] == '0') return std::nullopt;
  if (w.size() == kMax.size() && w > kMax) return std::nullopt;
  return std::stoull(w);
}

// Returns the offset of the fault, or nothing when the file is whole.
std::optional<std::uint64_t> reference_read(std::string_view f, Capture& c) {
  const std::string_view first = "cgiecho-capture 1\n";
  if (f.substr(0, first.size()) != first) {
    if (f.substr(0, 16) != "cgiecho-capture ") return 0;
    if (f.find('\n') == std::string_view::npos) return f.size();
    return 16;
  }
  int last = 0;  // rank of the last record: param 0, argv 1, body 2, response 3
  std::size_t pos = first.size();
  while (pos < f.size()) {
    const std::size_t nl = f.find('\n', pos);
    if (nl == std::string_view::npos || nl - pos > 64) return pos;
    std::vector<std::string> w = split_blanks(f.substr(pos, nl - pos));
    const int rank = w[0] == "param" ? 0 : w[0] == "argv" ? 1 : w[0] == "body" ? 2 : w[0] == "response" ? 3 : -1;
    if (rank < 0 || rank < last || (rank == last && rank > 0)) return pos;
    last = rank;
    bool cut = false;
    if ((rank == 2 && w.size() == 4) || (rank == 3 && w.size() == 3)) {
      if (w.back() != "cut") return pos;
      cut = true;
      w.pop_back();
    }
    if (w.size() != (rank == 0 || rank == 2 ? 3u : 2u)) return pos;
    std::optional<std::uint64_t> declared;
    if (rank == 2 && w[1] != "-") {
      declared = number(w[1]);
      if (!declared) return pos;
    }
    const std::optional<std::uint64_t> a = number(w.back());
    if (!a) return pos;
    std::uint64_t size = *a;
    std::uint64_t name_size = 0;
    if (rank == 0) {
      const std::optional<std::uint64_t> n = number(w[1]);
      if (!n || *n > UINT64_MAX - size) return pos;
      name_size = *n;
      size += name_size;
    }
    const std::size_t data = nl + 1;
    if (size >= f.size() - data) return pos;  // the line break after the bytes is one more
    const auto n = static_cast<std::size_t>(size);  // below the file's size: it fits
    if (f[data + n] != '\n') return data + n;
    const std::string bytes(f.substr(data, n));
    const auto name_end = static_cast<std::size_t>(name_size);
    if (rank == 0) c.params.emplace_back(bytes.substr(0, name_end), bytes.substr(name_end));
    if (rank == 1) c.argv = bytes;
    if (rank == 2) c.body = cgiecho::capture::Body{declared, bytes, cut};
    if (rank == 3) c.response = cgiecho::capture::Response{bytes, cut};
    pos = data + n + 1;
  }
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  Capture got, want;
  cgiecho::capture::ReadError error;
  const bool ok = cgiecho::capture::read_capture(in, got, error);
  const std::optional<std::uint64_t> fault = reference_read(in, want);
  if (ok != !fault) std::abort();
  if (!ok) {
    if (error.offset != *fault || error.offset > size || error.what.empty()) std::abort();
    if (!got.params.empty() || got.argv || got.body || got.response) std::abort();  // nothing beside an error
    return 0;
  }
  if (cgiecho::capture::write_capture(got) != in) std::abort();  // the reader takes exactly what the writer makes
  if (cgiecho::capture::write_capture(want) != in) std::abort();
  if (got.params != want.params || got.argv != want.argv) std::abort();

  std::vector<std::string> removed;
  const cgiecho::capture::Variables kept = cgiecho::capture::kept_variables(got.params, false, &removed);
  if (cgiecho::capture::kept_variables(kept, false) != kept) std::abort();
  if (got.body) {
    std::string_view type;
    for (const auto& [name, value] : kept)
      if (name == "CONTENT_TYPE") type = value;
    const std::string body =
        cgiecho::capture::body_without_secrets(type, got.body->bytes, &removed).value_or(got.body->bytes);
    if (cgiecho::capture::body_without_secrets(type, body).value_or(body) != body) std::abort();
  }
  if (got.response) (void)cgiecho::capture::without_secrets(got.response->bytes, removed, got.response->cut);
  return 0;
}
