/* The floor for an upload to a CGI program: read standard input to its end
 * and hash every byte once with libcrypto, then print the digest. Nothing
 * is parsed; a program that parses and hashes a form cannot do less. */
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>
#include <stdio.h>
#include <unistd.h>

int main(void) {
  static unsigned char buffer[1 << 18];
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256_CTX ctx;
  ssize_t got;
  int i;
  SHA256_Init(&ctx);
  while ((got = read(0, buffer, sizeof buffer)) > 0) SHA256_Update(&ctx, buffer, (size_t)got);
  SHA256_Final(digest, &ctx);
  for (i = 0; i < SHA256_DIGEST_LENGTH; ++i) printf("%02x", digest[i]);
  printf("\n");
  return 0;
}
