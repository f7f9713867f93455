#include "web/form_collector.h"

#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "web/upload_data.h"

namespace cgiecho::web {
namespace {

// Writes to a temp file go out in pieces of at least this size, however
// small the pieces the body arrives in.
constexpr std::size_t kWriteChunk = std::size_t{1} << 16;

}  // namespace

struct FormCollector::State {
  State(const Limits& l, std::string_view s) : limits(l), stable(s) {}

  const Limits limits;
  const std::string_view stable;
  std::vector<Field> fields;
  std::vector<UploadedFile> files;
  // Names and values that did not lie in `stable`; a deque never moves
  // the strings it holds, so views into them stay good.
  std::deque<std::string> owned;

  // The part in hand.
  bool is_file = false;
  std::string_view name;
  std::string_view value;       // a text part's data while it lies in `stable`
  std::string* value_copy = nullptr;  // ... and once it does not
  std::unique_ptr<UploadedFile::Data> file;
  std::string pending;  // bytes for the temp file, not yet written
  // Bytes of file data held in `memory` over every file part so far:
  // limits.memory is the request's budget, not each part's.
  std::uint64_t in_memory = 0;

  bool in_stable(std::string_view bytes) const {
    const std::less<const char*> before;
    return !stable.empty() && !before(bytes.data(), stable.data()) &&
           !before(stable.data() + stable.size(), bytes.data() + bytes.size());
  }

  // Grows `view` by `bytes` when they lie in `stable` right after it.
  bool extend(std::string_view& view, std::string_view bytes) const {
    if (!in_stable(bytes)) return false;
    if (view.empty()) {
      view = bytes;
      return true;
    }
    if (view.data() + view.size() != bytes.data()) return false;
    view = std::string_view(view.data(), view.size() + bytes.size());
    return true;
  }

  std::string_view keep_text(std::string_view text) {
    if (in_stable(text)) return text;
    return owned.emplace_back(text);
  }

  errc flush() {
    if (pending.empty()) return errc::ok;
    const bool ok = file->file.write(pending);
    pending.clear();
    return ok ? errc::ok : errc::temp_file_failed;
  }

  bool fits(std::size_t more) const { return more <= limits.memory && in_memory <= limits.memory - more; }

  errc file_data(std::string_view bytes) {
    UploadedFile::Data& d = *file;
    d.size += bytes.size();
    if (d.on_disk) {
      if (pending.empty() && bytes.size() >= kWriteChunk)
        return d.file.write(bytes) ? errc::ok : errc::temp_file_failed;
      pending.append(bytes);
      return pending.size() >= kWriteChunk ? flush() : errc::ok;
    }
    if (d.memory.empty() && extend(d.stable, bytes)) return errc::ok;  // kept where it lies
    if (!d.stable.empty()) {
      // Never more than the body, which was held whole within the budget.
      d.memory.assign(d.stable);
      in_memory += d.stable.size();
      d.stable = {};
    }
    if (fits(bytes.size())) {
      d.memory.append(bytes);
      in_memory += bytes.size();
      return errc::ok;
    }
    // Over the request's budget: this part, so far and from now on, goes
    // to a temp file, and its memory is given back.
    in_memory -= d.memory.size();
    if (!d.file.create()) return errc::temp_file_failed;
    d.on_disk = true;
    const bool ok = d.file.write(d.memory) && d.file.write(bytes);
    std::string().swap(d.memory);
    return ok ? errc::ok : errc::temp_file_failed;
  }
};

// Without memory for its state, every call says so.
FormCollector::FormCollector(const Limits& limits, std::string_view stable) noexcept {
  try {
    state_ = std::make_unique<State>(limits, stable);
  } catch (...) {
  }
}

FormCollector::~FormCollector() = default;

errc FormCollector::part_begin(const PartHead& head) noexcept {
  if (!state_) return errc::out_of_memory;
  State& s = *state_;
  try {
    s.is_file = head.is_file;
    s.value = {};
    s.value_copy = nullptr;
    if (head.is_file) {
      s.file = std::make_unique<UploadedFile::Data>();
      s.file->name.assign(head.name);
      s.file->filename.assign(head.filename);
      s.file->has_content_type = head.has_content_type;
      s.file->content_type.assign(head.content_type);
    } else {
      s.name = s.keep_text(head.name);
    }
  } catch (...) {
    return errc::out_of_memory;
  }
  return errc::ok;
}

errc FormCollector::part_data(std::string_view bytes) noexcept {
  if (!state_) return errc::out_of_memory;
  State& s = *state_;
  try {
    if (s.is_file) return s.file_data(bytes);
    if (s.value_copy == nullptr && s.extend(s.value, bytes)) return errc::ok;
    if (s.value_copy == nullptr) {
      s.value_copy = &s.owned.emplace_back(s.value);
      s.value = {};
    }
    s.value_copy->append(bytes);
  } catch (...) {
    return errc::out_of_memory;
  }
  return errc::ok;
}

errc FormCollector::part_end() noexcept {
  if (!state_) return errc::out_of_memory;
  State& s = *state_;
  try {
    if (s.is_file) {
      if (const errc e = s.flush(); e != errc::ok) return e;
      s.files.reserve(s.files.size() + 1);  // so that nothing below can throw with the part half moved
      s.files.push_back(UploadedFile(std::move(s.file)));
    } else {
      const std::string_view value = s.value_copy ? std::string_view(*s.value_copy) : s.value;
      s.fields.push_back(Field{s.name, value, false});
    }
  } catch (...) {
    return errc::out_of_memory;
  }
  return errc::ok;
}

const std::vector<Field>& FormCollector::fields() const noexcept {
  static const std::vector<Field> kNone;
  return state_ ? state_->fields : kNone;
}

const std::vector<UploadedFile>& FormCollector::files() const noexcept {
  static const std::vector<UploadedFile> kNone;
  return state_ ? state_->files : kNone;
}

}  // namespace cgiecho::web
