/// The part handler behind Request: text parts become fields, file parts
/// uploaded files. The parser feeding it enforces the limits; the collector
/// decides where the bytes go: a text part's value stays in memory (the
/// parser holds all of them within max_form), and file data stays in
/// memory up to limits.memory bytes over every file part of the request
/// together: the part whose byte would pass that moves, whole, into a
/// private temp file (errc::temp_file_failed when none can be made or
/// written), and so does every later part that would. Its temp files close with it. After an error, what it
/// holds is incomplete and must be thrown away.
#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include <cgiecho/web/form.h>
#include <cgiecho/web/limits.h>
#include <cgiecho/web/upload.h>

#include "web/multipart.h"

namespace cgiecho::web {

/// Gathers a multipart form's parts as fields and uploaded files.
class FormCollector final : public PartHandler {
 public:
  /// `stable` is memory that outlives the collector (a body read whole):
  /// names, values and file data the parser hands out as views into it stay
  /// where they lie, however large, instead of being copied or written to a
  /// temp file. Empty when the body streams.
  FormCollector(const Limits& limits, std::string_view stable) noexcept;
  ~FormCollector();
  FormCollector(const FormCollector&) = delete;
  FormCollector& operator=(const FormCollector&) = delete;

  /// @{
  /// The parser's calls (PartHandler): a part begins, its data, its end.
  errc part_begin(const PartHead& head) noexcept override;
  errc part_data(std::string_view bytes) noexcept override;
  errc part_end() noexcept override;
  /// @}

  /// @{
  /// The text parts as fields (encoded = false) and the file parts, in
  /// order. Their views point into the collector (or `stable`): they live
  /// as long as it does.
  const std::vector<Field>& fields() const noexcept;
  const std::vector<UploadedFile>& files() const noexcept;
  /// @}

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace cgiecho::web
