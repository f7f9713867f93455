#include <cgiecho/capture/capture_file.h>

#include <cstdio>
#include <limits>

#include "text/ascii.h"
#include "text/decimal.h"

namespace cgiecho::capture {
namespace {

void append_number(std::string& out, std::uint64_t n) {
  char digits[20];
  std::size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n != 0);
  while (count > 0) out += digits[--count];
}

void append_record(std::string& out, std::string_view header, std::string_view bytes) {
  out += header;
  out += '\n';
  out += bytes;
  out += '\n';
}

std::string with_number(std::string_view keyword, std::uint64_t n) {
  std::string header(keyword);
  header += ' ';
  append_number(header, n);
  return header;
}

// A record's keyword shown in a message: printable ASCII as it is, any
// other byte as \xNN, so that a binary file cannot garble the terminal.
std::string shown(std::string_view bytes) {
  std::string out;
  text::append_printable(bytes.substr(0, 24), out);
  if (bytes.size() > 24) out += "...";
  return out;
}

enum class Number { ok, not_a_number, leading_zero, overflow };

// Digits only, no leading zero but "0" itself, at most 2^64 - 1.
Number parse_number(std::string_view digits, std::uint64_t& n) {
  const text::Decimal number = text::parse_decimal(digits);
  if (number.outcome == text::Decimal::Outcome::not_a_number) return Number::not_a_number;
  if (digits.size() > 1 && digits[0] == '0') return Number::leading_zero;
  if (number.outcome == text::Decimal::Outcome::too_large) return Number::overflow;
  n = number.value;
  return Number::ok;
}

const char* number_fault(Number fault) {
  switch (fault) {
    case Number::leading_zero:
      return "has a leading zero";
    case Number::overflow:
      return "overflows 64 bits";
    default:
      return "is not a decimal number";
  }
}

// Where records must come: params, then argv, body, response.
enum Stage { kParams, kArgv, kBody, kResponse };

class Reader {
 public:
  Reader(std::string_view file, Capture& out, ReadError& error) : file_(file), out_(out), error_(error) {}

  bool run() {
    if (file_.substr(0, kFirstLine.size()) != kFirstLine) {
      const std::string_view magic = kFirstLine.substr(0, kFirstLine.size() - 2);  // "cgiecho-capture "
      if (file_.substr(0, magic.size()) != magic) return fail(0, "not a capture file (it begins with \"cgiecho-capture 1\")");
      const std::size_t end = file_.find('\n');
      if (end == std::string_view::npos) return fail(file_.size(), "the first line is cut short");
      return fail(magic.size(), "version \"" + shown(file_.substr(magic.size(), end - magic.size())) +
                                    "\" is not one this reader knows (1)");
    }
    at_ = kFirstLine.size();
    while (at_ < file_.size())
      if (!record()) return false;
    return true;
  }

 private:
  bool fail(std::uint64_t offset, std::string what) {
    error_.offset = offset;
    error_.what = std::move(what);
    return false;
  }

  bool record() {
    const std::size_t start = at_;
    const std::string_view rest = file_.substr(start);
    const std::size_t eol = rest.substr(0, kMaxHeaderLine + 1).find('\n');
    if (eol == std::string_view::npos) {
      if (rest.size() <= kMaxHeaderLine) return fail(start, "record header \"" + shown(rest) + "\" is cut short");
      return fail(start, "record header is longer than " + std::to_string(kMaxHeaderLine) + " bytes");
    }
    std::vector<std::string_view> words;
    for (std::string_view line = rest.substr(0, eol);;) {
      const std::size_t blank = line.find(' ');
      words.push_back(line.substr(0, blank));
      if (blank == std::string_view::npos) break;
      line.remove_prefix(blank + 1);
    }
    const std::string_view keyword = words[0];
    Stage stage;
    std::size_t numbers = 1;
    bool may_be_cut = false;
    if (keyword == "param") {
      stage = kParams;
      numbers = 2;
    } else if (keyword == "argv") {
      stage = kArgv;
    } else if (keyword == "body") {
      stage = kBody;
      numbers = 2;
      may_be_cut = true;
    } else if (keyword == "response") {
      stage = kResponse;
      may_be_cut = true;
    } else {
      return fail(start, "unknown record \"" + shown(keyword) + "\"");
    }
    if (stage < stage_ || (stage == stage_ && stage != kParams)) {
      if (stage == stage_) return fail(start, "a second " + std::string(keyword) + " record");
      return fail(start, std::string(keyword) + " record after the " + kNames[stage_] + " record");
    }
    bool cut = false;
    if (may_be_cut && words.size() == numbers + 2 && words.back() == "cut") {
      cut = true;
      words.pop_back();
    }
    if (words.size() != numbers + 1) {
      return fail(start, std::string(keyword) + " record needs " + (numbers == 1 ? "one number" : "two numbers") +
                             (may_be_cut ? " and may end in \"cut\"" : "") + ": \"" + shown(rest.substr(0, eol)) +
                             "\"");
    }
    std::uint64_t n[2] = {0, 0};
    bool declared_known = true;
    for (std::size_t i = 0; i < numbers; ++i) {
      if (stage == kBody && i == 0 && words[1] == "-") {
        declared_known = false;
        continue;
      }
      const Number parsed = parse_number(words[i + 1], n[i]);
      if (parsed != Number::ok)
        return fail(start, std::string(keyword) + " record: \"" + shown(words[i + 1]) + "\" " + number_fault(parsed));
    }
    // The bytes that follow: both lengths for a param, the last number
    // for the others (a body's DECLARED says nothing of the file).
    std::uint64_t length = n[numbers - 1];
    if (stage == kParams) {
      if (n[0] > std::numeric_limits<std::uint64_t>::max() - n[1])
        return fail(start, "param record: the two lengths together overflow 64 bits");
      length = n[0] + n[1];
    }
    const std::size_t data = start + eol + 1;
    const std::uint64_t left = file_.size() - data;
    if (length >= left) {  // the closing line break needs one byte more
      return fail(start, std::string(keyword) + " record: " + std::to_string(length) + " bytes and a line break run past the end of the file (" +
                             std::to_string(left) + " bytes left)");
    }
    const auto size = static_cast<std::size_t>(length);  // below the file's size, so it fits
    if (file_[data + size] != '\n')
      return fail(data + size, std::string(keyword) + " record: no line break after its " + std::to_string(length) + " bytes");
    const std::string_view bytes = file_.substr(data, size);
    switch (stage) {
      case kParams: {
        const auto name_size = static_cast<std::size_t>(n[0]);
        out_.params.emplace_back(bytes.substr(0, name_size), bytes.substr(name_size));
        break;
      }
      case kArgv:
        out_.argv = std::string(bytes);
        break;
      case kBody:
        out_.body = Body{declared_known ? std::optional<std::uint64_t>(n[0]) : std::nullopt, std::string(bytes), cut};
        break;
      case kResponse:
        out_.response = Response{std::string(bytes), cut};
        break;
    }
    stage_ = stage;
    at_ = data + size + 1;
    return true;
  }

  static constexpr const char* kNames[] = {"param", "argv", "body", "response"};
  std::string_view file_;
  Capture& out_;
  ReadError& error_;
  std::size_t at_ = 0;
  Stage stage_ = kParams;
};

}  // namespace

void append_param(std::string& out, std::string_view name, std::string_view value) {
  out += "param ";
  append_number(out, name.size());
  out += ' ';
  append_number(out, value.size());
  out += '\n';
  out += name;
  out += value;
  out += '\n';
}

void append_argv(std::string& out, std::string_view tail) { append_record(out, with_number("argv", tail.size()), tail); }

void append_body_header(std::string& out, std::optional<std::uint64_t> declared, std::uint64_t size, bool cut) {
  out += "body ";
  if (declared) {
    append_number(out, *declared);
  } else {
    out += '-';
  }
  out += ' ';
  append_number(out, size);
  if (cut) out += " cut";
  out += '\n';
}

void append_body(std::string& out, std::optional<std::uint64_t> declared, std::string_view bytes, bool cut) {
  append_body_header(out, declared, bytes.size(), cut);
  out += bytes;
  out += '\n';
}

void append_response(std::string& out, std::string_view bytes, bool cut) {
  std::string header = with_number("response", bytes.size());
  if (cut) header += " cut";
  append_record(out, header, bytes);
}

std::string write_capture(const Capture& capture) {
  std::string out(kFirstLine);
  for (const auto& [name, value] : capture.params) append_param(out, name, value);
  if (capture.argv) append_argv(out, *capture.argv);
  if (capture.body) append_body(out, capture.body->declared, capture.body->bytes, capture.body->cut);
  if (capture.response) append_response(out, capture.response->bytes, capture.response->cut);
  return out;
}

std::string ReadError::message() const { return "offset " + std::to_string(offset) + ": " + what; }

bool read_capture(std::string_view file, Capture& out, ReadError& error) {
  out = Capture{};
  if (Reader(file, out, error).run()) return true;
  out = Capture{};
  return false;
}

bool read_file(const std::string& path, std::string& out) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  out.clear();
  char buffer[65536];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.append(buffer, got);
  const bool ok = std::ferror(f) == 0;
  std::fclose(f);
  return ok;
}

}  // namespace cgiecho::capture
