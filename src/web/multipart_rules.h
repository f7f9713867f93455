// The rule a multipart body breaks when its boundary is unusable, shared by
// the parser and by Request (which refuses such a Content-Type before the
// parser is made); not a public header.
#pragma once

#include <string_view>

namespace cgiecho::web {

std::string_view unusable_boundary_rule() noexcept;

}  // namespace cgiecho::web
