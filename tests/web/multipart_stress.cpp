// Cases too slow for the unit suite, which every full check runs beside
// the fuzz targets (ctest -C stress -L stress): the parser's cost at a
// million parts stays linear, and its limit holds there too.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "web/multipart.h"

namespace {

using cgiecho::web::errc;
using cgiecho::web::Limits;
using cgiecho::web::MultipartParser;
namespace web = cgiecho::web;

const std::string kB = "XyZ";

TEST(Multipart, AMillionTinyPartsWithinARaisedLimit) {
  const std::string one = "--XyZ\r\nContent-Disposition: form-data; name=a\r\n\r\n\r\n";
  std::string body;
  body.reserve(one.size() * 1'000'000 + 8);
  for (int i = 0; i < 1'000'000; ++i) body += one;
  body += "--XyZ--";
  Limits raised;
  raised.max_parts = 1'000'000;
  std::vector<web::Part> parts;
  ASSERT_EQ(web::parse_multipart(body, kB, raised, parts), errc::ok);
  EXPECT_EQ(parts.size(), 1'000'000u);
  EXPECT_EQ(parts.back().name, "a");
  // One over, in pieces; a handler that only counts keeps this cheap.
  struct Count final : web::PartHandler {
    std::size_t parts = 0;
    errc part_begin(const web::PartHead&) noexcept override {
      ++parts;
      return errc::ok;
    }
    errc part_data(std::string_view) noexcept override { return errc::ok; }
    errc part_end() noexcept override { return errc::ok; }
  };
  const struct {
    std::uint64_t max_parts;
    std::size_t seen;
  } cases[] = {{999'999, 999'999}, {Limits{}.max_parts, 1'000}};
  for (const auto& c : cases) {
    raised.max_parts = c.max_parts;
    Count count;
    MultipartParser parser(kB, raised, count);
    errc e = errc::ok;
    for (std::size_t at = 0; at < body.size() && e == errc::ok; at += 4'000'000)
      e = parser.feed(std::string_view(body).substr(at, 4'000'000));
    EXPECT_EQ(e, errc::too_many_parts);
    EXPECT_EQ(count.parts, c.seen);
  }
}

}  // namespace
