// The upload benchmark's cgicc program: the form parsed by cgicc::Cgicc,
// each file's data hashed with libcrypto; one line per file.
#include <openssl/sha.h>

#include <cgicc/Cgicc.h>

#include <cstdio>
#include <string>

int main() {
  cgicc::Cgicc cgi;
  std::string out = "Content-Type: text/plain\r\n\r\n";
  for (const cgicc::FormFile& f : cgi.getFiles()) {
    const std::string& data = f.getData();
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest);
    char hex[2 * SHA256_DIGEST_LENGTH + 1];
    for (int i = 0; i < SHA256_DIGEST_LENGTH; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    out += f.getName() + ' ' + std::to_string(data.size()) + ' ' + hex + '\n';
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}
