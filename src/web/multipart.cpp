#include "web/multipart.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>
#include <string>

#include "text/ascii.h"
#include "web/delimiter_search.h"
#include "web/multipart_rules.h"

namespace cgiecho::web {
namespace {

using text::equals_ignoring_case;
using text::is_blank;
using text::is_token_char;
using text::less_ignoring_case;
using text::trim_blanks;

// The rules a malformed body breaks, for people reading an error: static
// texts, so that reporting one costs a pointer.
constexpr std::string_view kNoColon = "a part's header line has no colon";
constexpr std::string_view kBadHeaderName = "a part's header name is not a token";
constexpr std::string_view kFolded = "a header line is folded";
constexpr std::string_view kBareCr = "a bare CR in a header block";
constexpr std::string_view kBareLf = "a bare LF in a header block";
constexpr std::string_view kDelimiterInHead = "a delimiter before the header block ends";
constexpr std::string_view kDispositionTwice = "Content-Disposition given twice";
constexpr std::string_view kNotFormData = "Content-Disposition is not form-data";
constexpr std::string_view kNoDisposition = "a part without Content-Disposition";
constexpr std::string_view kNoName = "a part without a name";
constexpr std::string_view kTypeTwice = "Content-Type given twice";
constexpr std::string_view kParamNoName = "a parameter without a name";
constexpr std::string_view kParamNoValue = "a parameter without a value";
constexpr std::string_view kNotToken = "an unquoted value that is not a token";
constexpr std::string_view kAfterQuote = "bytes after a closing quote";
constexpr std::string_view kOpenQuote = "a quote that never closes";
constexpr std::string_view kParamTwice = "a parameter named twice";
constexpr std::string_view kOverpadded = "a delimiter padded past 128 blanks";
constexpr std::string_view kNoClose = "the closing delimiter never came";
constexpr std::string_view kBadBoundary = "the boundary is missing or malformed";
static_assert(kMaxDelimiterPadding == 128, "kOverpadded names the padding allowed");

// Where a parameter list breaks its rules: the rule, and the index in the
// list's text of the byte that shows it. An empty rule: the list is sound.
struct ParamFault {
  std::string_view rule;
  std::size_t at = 0;
};

std::size_t token_length(std::string_view s, std::size_t from) {
  std::size_t i = from;
  while (i < s.size() && is_token_char(s[i])) ++i;
  return i - from;
}

// The same, for a token that is most often `usual` (a name as browsers send
// it): there the answer comes from one comparison instead of a look at
// each byte.
std::size_t token_length(std::string_view s, std::size_t from, std::string_view usual) {
  const std::size_t end = from + usual.size();
  if (s.compare(from, usual.size(), usual) == 0 && (end == s.size() || !is_token_char(s[end])))
    return usual.size();
  return token_length(s, from);
}

// A parameter list: *( OWS ";" OWS name OWS "=" OWS value ) OWS, a value
// being a token or a quoted string (the bytes between the quotes: no
// backslash or percent processing, as browsers send a quote as "%22"); one
// trailing ";" is allowed. Hands each name and value to `on_param`. A
// fault when the list breaks those rules or names a parameter twice (names
// compared without case); `names` is scratch room, reused by the caller.
// Throws std::bad_alloc only.
template <class OnParam>
ParamFault parse_params(std::string_view text, std::vector<std::string_view>& names, OnParam&& on_param) {
  names.clear();
  std::size_t i = 0;
  bool quoted = false;  // the last value, for what a byte after it breaks
  const auto skip_ows = [&] {
    while (i < text.size() && is_blank(text[i])) ++i;
  };
  for (;;) {
    skip_ows();
    if (i == text.size()) break;
    if (text[i] != ';') return {quoted ? kAfterQuote : kNotToken, i};
    ++i;
    skip_ows();
    if (i == text.size()) break;
    const std::size_t name_len = token_length(text, i);
    if (name_len == 0) return {kParamNoName, i};
    const std::string_view name = text.substr(i, name_len);
    i += name_len;
    skip_ows();
    if (i == text.size() || text[i] != '=') return {kParamNoValue, i};
    ++i;
    skip_ows();
    std::string_view value;
    quoted = i < text.size() && text[i] == '"';
    if (quoted) {
      const std::size_t close = text.find('"', i + 1);
      if (close == std::string_view::npos) return {kOpenQuote, i};
      value = text.substr(i + 1, close - i - 1);
      i = close + 1;
    } else {
      const std::size_t value_len = token_length(text, i);
      if (value_len == 0) return {i == text.size() || text[i] == ';' ? kParamNoValue : kNotToken, i};
      value = text.substr(i, value_len);
      i += value_len;
    }
    names.push_back(name);
    on_param(name, value);
  }
  // A repeated name, found at its first repeat in the text: a few names
  // (browsers send one or two) are compared in pairs; sorting finds one in
  // n log n however many a header holds.
  const auto at = [&](std::string_view name) { return static_cast<std::size_t>(name.data() - text.data()); };
  constexpr std::size_t kFewNames = 8;
  if (names.size() <= kFewNames) {
    for (std::size_t k = 1; k < names.size(); ++k)
      for (std::size_t j = 0; j < k; ++j)
        if (equals_ignoring_case(names[j], names[k])) return {kParamTwice, at(names[k])};
    return {};
  }
  // Equal names sort in the order sent, so each run's second is its first repeat.
  std::sort(names.begin(), names.end(), [](std::string_view a, std::string_view b) {
    return less_ignoring_case(a, b) || (!less_ignoring_case(b, a) && a.data() < b.data());
  });
  ParamFault fault;
  for (std::size_t k = 1; k < names.size(); ++k) {
    const bool first_repeat = equals_ignoring_case(names[k - 1], names[k]) &&
                              (k == 1 || !equals_ignoring_case(names[k - 2], names[k - 1]));
    if (first_repeat && (fault.rule.empty() || at(names[k]) < fault.at)) fault = {kParamTwice, at(names[k])};
  }
  return fault;
}

}  // namespace

bool media_type_is(std::string_view content_type, std::string_view type) noexcept {
  return equals_ignoring_case(trim_blanks(content_type.substr(0, content_type.find(';'))), type);
}

std::string_view unusable_boundary_rule() noexcept { return kBadBoundary; }

errc multipart_boundary(std::string_view content_type, std::string_view& boundary) noexcept {
  const std::size_t semi = content_type.find(';');
  if (semi == std::string_view::npos) return errc::malformed_multipart;
  std::string_view found;
  bool seen = false;
  try {
    std::vector<std::string_view> names;
    const ParamFault fault =
        parse_params(content_type.substr(semi), names, [&](std::string_view name, std::string_view value) {
          if (equals_ignoring_case(name, "boundary")) {
            found = value;
            seen = true;
          }
        });
    if (!fault.rule.empty()) return errc::malformed_multipart;
  } catch (...) {
    return errc::out_of_memory;
  }
  // CR and LF would make a delimiter that no line structure can hold.
  if (!seen || found.empty() || found.size() > kMaxBoundary || found.find_first_of("\r\n") != std::string_view::npos)
    return errc::malformed_multipart;
  boundary = found;
  return errc::ok;
}

// The body is scanned for "\r\n--" + boundary (a delimiter; at the body's
// start, and right after a part's header block, the CRLF is taken as read).
// A delimiter followed by "--" closes the body; followed by spaces or tabs
// and CRLF it opens a part; followed by anything else it was data after all.
// Bytes before the first delimiter are a preamble and bytes after the
// closing one an epilogue: both are ignored, as RFC 2046 asks.
struct MultipartParser::State {
  enum class Stage { preamble, headers, data, done };
  using Match = DelimiterSearch::Match;

  // The first error, which every later call returns.
  struct Failure {
    errc error = errc::ok;
    std::string_view rule;  // the rule a malformed body broke (a static text)
    std::uint64_t at = 0;   // where, in the body
  };

  // The header block in progress. While it lies in the current piece it is
  // read there; a block cut by a piece's end is copied into `copy`.
  struct HeaderBlock {
    std::string copy;
    bool copied = false;
    std::size_t start = 0;  // in the piece, while not copied
    std::uint64_t at = 0;   // in the body
    std::uint64_t size = 0;
    std::size_t line_start = 0;  // in the block
    bool after_cr = false;
  };

  // What the part's header lines said, values as offsets into the block:
  // the block may still move into its copy.
  struct PartFields {
    bool has_disposition = false, has_name = false, has_type = false, is_file = false;
    std::size_t name_at = 0, name_size = 0, filename_at = 0, filename_size = 0, type_at = 0, type_size = 0;
  };

  // What the limits are held to: parts and files so far, the data of the
  // file in hand and of every field together.
  struct Counts {
    std::uint64_t parts = 0, files = 0, part_bytes = 0, form_bytes = 0;
    bool part_is_file = false;
  };

  State(std::string_view b, const Limits& l, PartHandler& h) : limits(l), handler(h), search(b) {}

  const Limits limits;
  PartHandler& handler;  // where the parts go
  DelimiterSearch search;
  Failure failure;
  std::uint64_t piece_at = 0;  // the body's bytes before the piece in hand
  Stage stage = Stage::preamble;
  HeaderBlock block;
  PartFields fields;
  std::vector<std::string_view> names;  // parse_params' scratch room
  Counts counts;

  // `at`: where in the body the error was found.
  errc fail(errc e, std::uint64_t at) {
    failure.error = e;
    failure.at = at;
    return e;
  }
  errc malformed(std::string_view broken, std::uint64_t at) {
    failure.rule = broken;
    return fail(errc::malformed_multipart, at);
  }

  // Part data to the handler, within the limits; the preamble goes nowhere.
  // `at`: where `p` lies in the body, so that a limit names its first byte
  // too many.
  errc emit(const char* p, std::size_t n, std::uint64_t at) {
    if (n == 0 || stage != Stage::data) return errc::ok;
    if (counts.part_is_file) {
      const std::uint64_t room = limits.max_file - counts.part_bytes;
      if (n > room) return fail(errc::file_too_large, at + room);
      counts.part_bytes += n;
    } else {
      const std::uint64_t room = limits.max_form - counts.form_bytes;
      if (n > room) return fail(errc::body_too_large, at + room);
      counts.form_bytes += n;
    }
    const errc e = handler.part_data(std::string_view(p, n));
    return e == errc::ok ? e : fail(e, at);
  }

  // The delimiter found, ending at `at` in the body: the part in hand ends,
  // and the next begins or the body closes.
  errc delimiter(Match m, std::uint64_t at) {
    search.candidate = false;
    search.held_size = 0;
    if (stage == Stage::data) {
      const errc e = handler.part_end();
      if (e != errc::ok) return fail(e, at);
    }
    if (m == Match::closes) {
      stage = Stage::done;
      return errc::ok;
    }
    if (++counts.parts > limits.max_parts) return fail(errc::too_many_parts, at);
    stage = Stage::headers;
    block.copy.clear();
    block.copied = false;
    block.size = block.line_start = 0;
    block.after_cr = false;
    fields = PartFields{};
    return errc::ok;
  }

  // Preamble or part data from `pos`, up to the next delimiter or the end.
  errc scan(const char* piece, std::size_t size, std::size_t& pos) {
    const char* const end = piece + size;
    const char* p = piece + pos;
    const char* data_from = p;  // what is not yet handed out
    const char* stop = nullptr;
    if (search.candidate) {
      // Carried over from the last piece, or the CRLF taken as read.
      const Match m = search.advance(p, end, stop);
      if (m == Match::more) {
        std::memcpy(search.held + search.held_size, p, static_cast<std::size_t>(end - p));
        search.held_size += static_cast<std::size_t>(end - p);
        pos = size;
        return errc::ok;
      }
      if (m == Match::overpadded) return malformed(kOverpadded, at(piece, stop));
      if (m != Match::fail) {
        pos = static_cast<std::size_t>(stop - piece);
        return delimiter(m, piece_at + pos);
      }
      search.candidate = false;
      // The bytes held are the body's last before this piece.
      const std::size_t n = search.held_size;
      search.held_size = 0;
      if (const errc e = emit(search.held, n, piece_at + pos - n); e != errc::ok) return e;
      p = stop;
    }
    for (;;) {
      const char* cr = search.next_candidate(p, end);
      if (cr == nullptr) break;
      search.begin(0);
      const Match m = search.advance(cr, end, stop);
      if (m == Match::fail) {
        search.candidate = false;
        p = stop;
        continue;
      }
      // Everything before the delimiter's CR is data, whatever follows.
      if (const errc e = emit(data_from, static_cast<std::size_t>(cr - data_from), at(piece, data_from)); e != errc::ok)
        return e;
      if (m == Match::more) {
        search.held_size = static_cast<std::size_t>(end - cr);
        std::memcpy(search.held, cr, search.held_size);
        pos = size;
        return errc::ok;
      }
      if (m == Match::overpadded) return malformed(kOverpadded, at(piece, stop));
      pos = static_cast<std::size_t>(stop - piece);
      return delimiter(m, piece_at + pos);
    }
    pos = size;
    return emit(data_from, static_cast<std::size_t>(end - data_from), at(piece, data_from));
  }

  // Where a byte of the piece in hand lies in the body.
  std::uint64_t at(const char* piece, const char* p) const { return piece_at + static_cast<std::size_t>(p - piece); }

  // One header line, CRLF taken off. Records where the values of interest
  // lie in the block, as offsets: the block may still move into its copy.
  errc header_line(const char* base, std::size_t line_at, std::size_t size) {
    const std::string_view line(base + line_at, size);
    // Where a byte of the block lies in the body.
    const auto in_body = [&](const char* p) { return block.at + static_cast<std::size_t>(p - base); };
    if (is_blank(line.front())) return malformed(kFolded, in_body(line.data()));
    if (line.size() >= 2 + search.boundary.size() && line.compare(0, 2, "--") == 0 &&
        line.compare(2, search.boundary.size(), search.boundary) == 0) {
      const std::string_view rest = line.substr(2 + search.boundary.size());
      if (rest.compare(0, 2, "--") == 0 || trim_blanks(rest).empty())
        return malformed(kDelimiterInHead, in_body(line.data()));
    }
    // The name is a token that ends at the colon.
    const std::size_t colon = token_length(line, 0, "Content-Disposition");
    if (colon == 0 || colon == line.size() || line[colon] != ':') {
      if (line.find(':') == std::string_view::npos) return malformed(kNoColon, in_body(line.data()));
      return malformed(kBadHeaderName, in_body(line.data() + colon));
    }
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = trim_blanks(line.substr(colon + 1));
    const auto offset = [&](std::string_view v) { return static_cast<std::size_t>(v.data() - base); };
    if (equals_ignoring_case(name, "Content-Disposition")) {
      if (fields.has_disposition) return malformed(kDispositionTwice, in_body(line.data()));
      fields.has_disposition = true;
      const std::size_t type_len = token_length(value, 0, "form-data");
      const std::string_view params = value.substr(type_len);
      const std::string_view after = trim_blanks(params);
      if (!equals_ignoring_case(value.substr(0, type_len), "form-data") || (!after.empty() && after[0] != ';'))
        return malformed(kNotFormData, in_body(value.data()));
      ParamFault fault;
      try {
        fault = parse_params(params, names, [&](std::string_view param, std::string_view v) {
          if (equals_ignoring_case(param, "name")) {
            fields.has_name = true;
            fields.name_at = offset(v);
            fields.name_size = v.size();
          } else if (equals_ignoring_case(param, "filename")) {
            fields.is_file = true;
            fields.filename_at = offset(v);
            fields.filename_size = v.size();
          }
        });
      } catch (...) {
        return fail(errc::out_of_memory, in_body(line.data()));
      }
      if (!fault.rule.empty()) return malformed(fault.rule, in_body(params.data() + fault.at));
    } else if (equals_ignoring_case(name, "Content-Type")) {
      // Two types for one part leave no way to tell which one holds.
      if (fields.has_type) return malformed(kTypeTwice, in_body(line.data()));
      fields.has_type = true;
      fields.type_at = offset(value);
      fields.type_size = value.size();
    }
    return errc::ok;
  }

  // The empty line: the part's head goes to the handler.
  errc head_done(const char* base) {
    const std::uint64_t empty_line = block.at + block.size - 2;
    if (!fields.has_disposition) return malformed(kNoDisposition, empty_line);
    if (!fields.has_name) return malformed(kNoName, empty_line);
    if (fields.is_file && ++counts.files > limits.max_files) return fail(errc::too_many_files, empty_line);
    PartHead head;
    head.name = std::string_view(base + fields.name_at, fields.name_size);
    head.is_file = fields.is_file;
    if (fields.is_file) head.filename = std::string_view(base + fields.filename_at, fields.filename_size);
    head.has_content_type = fields.has_type;
    if (fields.has_type) head.content_type = std::string_view(base + fields.type_at, fields.type_size);
    counts.part_is_file = fields.is_file;
    counts.part_bytes = 0;
    const errc e = handler.part_begin(head);
    if (e != errc::ok) return fail(e, empty_line);
    stage = Stage::data;
    search.begin(2);  // the empty line's CRLF may be the delimiter's
    return errc::ok;
  }

  // Header bytes from `pos`, a line at a time. Each byte counts against
  // the limit before anything else is decided about it, so a block breaks
  // the same rule first however the body is cut into pieces: the search
  // for a line's end stops at the limit, and a CR without its LF fails at
  // the byte after it, as a reading byte by byte would.
  errc headers(const char* piece, std::size_t size, std::size_t& pos) {
    if (!block.copied && block.size == 0) {
      block.start = pos;
      block.at = piece_at + pos;
    }
    std::size_t copy_from = pos;  // piece bytes not yet in the copy, while copied
    std::size_t i = pos;
    while (i < size) {
      const std::uint64_t room = limits.max_part_header - block.size;  // never negative: checked as it grows
      if (room == 0) return fail(errc::part_header_too_large, piece_at + i);
      const std::size_t span = static_cast<std::size_t>(std::min<std::uint64_t>(size - i, room));
      const char* const from = piece + i;
      const auto* lf = static_cast<const char*>(std::memchr(from, '\n', span));
      const std::size_t before = lf != nullptr ? static_cast<std::size_t>(lf - from) : span;  // bytes before the LF
      if (before > 0) {
        if (block.after_cr) return malformed(kBareCr, piece_at + i - 1);  // cut from its line by the piece's end
        const auto* cr = static_cast<const char*>(std::memchr(from, '\r', before));
        if (cr != nullptr && cr + 1 < from + before) return malformed(kBareCr, at(piece, cr));
      }
      if (lf == nullptr) {
        block.size += span;
        block.after_cr = from[span - 1] == '\r';
        i += span;
        continue;
      }
      if (!(before > 0 ? from[before - 1] == '\r' : block.after_cr)) return malformed(kBareLf, at(piece, from + before));
      block.size += before + 1;
      block.after_cr = false;
      i += before + 1;
      const char* base = piece + block.start;
      if (block.copied) {
        try {
          block.copy.append(piece + copy_from, i - copy_from);
        } catch (...) {
          return fail(errc::out_of_memory, piece_at + i);
        }
        copy_from = i;
        base = block.copy.data();
      }
      const std::size_t line_size = static_cast<std::size_t>(block.size) - 2 - block.line_start;
      if (line_size == 0) {
        pos = i;
        return head_done(base);
      }
      if (const errc e = header_line(base, block.line_start, line_size); e != errc::ok) return e;
      block.line_start = static_cast<std::size_t>(block.size);
    }
    try {
      if (block.copied) {
        block.copy.append(piece + copy_from, size - copy_from);
      } else {
        block.copy.assign(piece + block.start, size - block.start);
        block.copied = true;
      }
    } catch (...) {
      return fail(errc::out_of_memory, piece_at + size);
    }
    pos = size;
    return errc::ok;
  }

  errc feed(std::string_view piece) {
    const errc e = feed_piece(piece);
    piece_at += piece.size();
    return e;
  }

  errc feed_piece(std::string_view piece) {
    std::size_t pos = 0;
    while (pos < piece.size()) {
      errc e = errc::ok;
      switch (stage) {
        case Stage::preamble:
        case Stage::data: e = scan(piece.data(), piece.size(), pos); break;
        case Stage::headers: e = headers(piece.data(), piece.size(), pos); break;
        case Stage::done: return errc::ok;  // the epilogue
      }
      if (e != errc::ok) return e;
    }
    return errc::ok;
  }

  errc finish() {
    if (stage == Stage::done) return errc::ok;
    // A delimiter cut off by the end is data; its bytes count against the
    // limits like any other, so the error does not depend on the cut.
    if (search.candidate && search.held_size > 0) {
      const std::size_t n = search.held_size;
      search.held_size = 0;
      if (const errc e = emit(search.held, n, piece_at - n); e != errc::ok) return e;
    }
    return malformed(kNoClose, piece_at);
  }
};

MultipartParser::MultipartParser(std::string_view boundary, const Limits& limits, PartHandler& handler) noexcept
    : state_(nullptr) {
  // A boundary multipart_boundary would refuse cannot be looked for.
  const bool usable =
      !boundary.empty() && boundary.size() <= kMaxBoundary && boundary.find_first_of("\r\n") == std::string_view::npos;
  state_ = new (std::nothrow) State(usable ? boundary : std::string_view(), limits, handler);
  if (state_ != nullptr && !usable) (void)state_->malformed(kBadBoundary, 0);
}

MultipartParser::~MultipartParser() { delete state_; }

errc MultipartParser::feed(std::string_view piece) noexcept {
  if (state_ == nullptr) return errc::out_of_memory;
  if (state_->failure.error != errc::ok) return state_->failure.error;
  return state_->feed(piece);
}

errc MultipartParser::finish() noexcept {
  if (state_ == nullptr) return errc::out_of_memory;
  if (state_->failure.error != errc::ok) return state_->failure.error;
  return state_->finish();
}

std::size_t MultipartParser::held() const noexcept { return state_ == nullptr ? 0 : state_->search.held_size; }

std::string_view MultipartParser::broken_rule() const noexcept {
  if (state_ == nullptr || state_->failure.error != errc::malformed_multipart) return {};
  return state_->failure.rule;
}

std::uint64_t MultipartParser::error_offset() const noexcept { return state_ == nullptr ? 0 : state_->failure.at; }

namespace {

// Whole parts as views into the one piece the parser was fed.
class PartList final : public PartHandler {
 public:
  explicit PartList(std::vector<Part>& parts) : parts_(parts) {}
  errc part_begin(const PartHead& head) noexcept override {
    try {
      parts_.push_back(Part{head.name, head.is_file, head.filename, head.has_content_type, head.content_type, {}});
    } catch (...) {
      return errc::out_of_memory;
    }
    return errc::ok;
  }
  errc part_data(std::string_view bytes) noexcept override {
    std::string_view& data = parts_.back().data;
    // One piece: the views come in order and touch.
    data = data.empty() ? bytes : std::string_view(data.data(), data.size() + bytes.size());
    return errc::ok;
  }
  errc part_end() noexcept override { return errc::ok; }

 private:
  std::vector<Part>& parts_;
};

}  // namespace

errc parse_multipart(std::string_view body, std::string_view boundary, const Limits& limits,
                     std::vector<Part>& out) noexcept {
  std::vector<Part> parts;
  PartList list(parts);
  MultipartParser parser(boundary, limits, list);
  errc e = parser.feed(body);
  if (e == errc::ok) e = parser.finish();
  if (e != errc::ok) return e;
  const std::size_t before = out.size();
  try {
    out.insert(out.end(), parts.begin(), parts.end());
  } catch (...) {
    out.resize(before);
    return errc::out_of_memory;
  }
  return errc::ok;
}

}  // namespace cgiecho::web
