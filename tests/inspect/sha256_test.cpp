#include "inspect/sha256.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using cgiecho::inspect::Sha256;

std::string digest(const std::vector<std::string>& pieces) {
  Sha256 h;
  for (const auto& p : pieces) h.update(p);
  std::string hex(Sha256::kHexSize, '?');
  EXPECT_TRUE(h.finish(hex.data()));
  return hex;
}

// The system's hash (libcrypto on Linux, BCrypt on Windows) gives the
// published digests, whatever the pieces it is fed in.
TEST(Sha256, KnownDigestsInAnyPieces) {
  const std::string million(1000000, 'a');
  const std::string block = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";  // 56 bytes
  const struct {
    std::vector<std::string> pieces;
    std::string want;
  } cases[] = {
      {{}, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {{"", "", ""}, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {{"abc"}, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {{"a", "", "bc"}, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {{block}, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {{block.substr(0, 55), block.substr(55)}, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {{million}, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      {{million.substr(0, 63), million.substr(63, 65), million.substr(128)},
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      {{std::string(1, '\0')}, "6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want);
    EXPECT_EQ(digest(c.pieces), c.want);
  }
}

TEST(Sha256, SpentAfterFinish) {
  Sha256 h;
  std::string hex(Sha256::kHexSize, '?');
  ASSERT_TRUE(h.finish(hex.data()));
  h.update("more");  // ignored
  std::string again(Sha256::kHexSize, '?');
  EXPECT_FALSE(h.finish(again.data()));
  EXPECT_EQ(again, std::string(Sha256::kHexSize, '?'));
}

}  // namespace
