#include "serve/listen_address.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using cgiecho::ListenAddress;
using cgiecho::parse_listen_address;
using Kind = ListenAddress::Kind;

TEST(ParseListenAddress, WhatEachFormNames) {
  using namespace std::string_literals;
  const struct {
    std::string in;
    bool ok;
    Kind kind;
    std::string host;
    int port;
  } cases[] = {
      {"127.0.0.1:9000", true, Kind::tcp, "127.0.0.1", 9000},
      {"localhost:1", true, Kind::tcp, "localhost", 1},
      {"0.0.0.0:65535", true, Kind::tcp, "0.0.0.0", 65535},
      {"[::1]:9000", true, Kind::tcp, "::1", 9000},
      {"[fe80::1%eth0]:80", true, Kind::tcp, "fe80::1%eth0", 80},
      {"\\\\.\\pipe\\cgiecho", true, Kind::pipe, "", 0},
      {"\\\\.\\PIPE\\cgiecho", true, Kind::pipe, "", 0},
      {"/run/cgiecho.sock", true, Kind::path, "", 0},
      {"./cgiecho.sock", true, Kind::path, "", 0},
      {"run/a:9000", true, Kind::path, "", 0},  // a "/" makes it a path, colon or not
      {"", false, Kind::tcp, "", 0},
      {"127.0.0.1", false, Kind::tcp, "", 0},
      {"127.0.0.1:", false, Kind::tcp, "", 0},
      {":9000", false, Kind::tcp, "", 0},  // every address, unsaid
      {"127.0.0.1:0", false, Kind::tcp, "", 0},
      {"127.0.0.1:65536", false, Kind::tcp, "", 0},
      {"127.0.0.1:099999", false, Kind::tcp, "", 0},
      {"127.0.0.1:+80", false, Kind::tcp, "", 0},
      {"127.0.0.1:80 ", false, Kind::tcp, "", 0},
      {"::1:9000", false, Kind::tcp, "", 0},
      {"[]:9000", false, Kind::tcp, "", 0},
      {"[::1:9000", false, Kind::tcp, "", 0},
      {"\\\\.\\pipe\\", false, Kind::tcp, "", 0},
      {"127.0.0.1:90\0"s "00", false, Kind::tcp, "", 0},
      {"/run/a\0b"s, false, Kind::tcp, "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.in));
    const auto got = parse_listen_address(c.in);
    ASSERT_EQ(got.has_value(), c.ok);
    if (!got) continue;
    EXPECT_EQ(got->kind, c.kind);
    EXPECT_EQ(got->host, c.host);
    EXPECT_EQ(got->port, c.port);
  }
}

TEST(IsLoopbackAddress, WhoCanReachTheListener) {
  using namespace std::string_literals;
  const std::string v6_zero(16, '\0');
  const std::string mapped = std::string(10, '\0') + "\xff\xff"s;
  const struct {
    std::string bytes;
    bool loopback;
  } cases[] = {
      {"\x7f\0\0\1"s, true},
      {"\x7f\xff\xff\xfe"s, true},
      {"\x7f\0\0\0"s, true},
      {"\0\0\0\0"s, false},  // 0.0.0.0: every address
      {"\x80\0\0\1"s, false},
      {"\x0a\0\0\x7f"s, false},
      {v6_zero.substr(0, 15) + "\1", true},  // ::1
      {v6_zero, false},                      // ::
      {v6_zero.substr(0, 15) + "\2", false},
      {"\x01" + v6_zero.substr(0, 14) + "\1", false},
      {mapped + "\x7f\0\0\1"s, true},
      {mapped + "\x0a\0\0\1"s, false},
      {mapped + "\0\0\0\0"s, false},
      {std::string(10, '\0') + "\0\0\x7f\0\0\1"s, false},  // the old IPv4-compatible form is not loopback
      {"\x7f\0\0"s, false},
      {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    EXPECT_EQ(cgiecho::is_loopback_address(c.bytes), c.loopback);
  }
}

}  // namespace
