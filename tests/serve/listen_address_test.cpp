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

}  // namespace
