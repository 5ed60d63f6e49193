#include "store/token_hash.h"

#include <sodium.h>

std::string hexText(const unsigned char* bytes, std::size_t size) {
  std::string hex(size * 2 + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), bytes, size);
  hex.pop_back();
  return hex;
}

std::string randomHex(std::size_t bytes) {
  std::string random(bytes, '\0');
  randombytes_buf(random.data(), random.size());
  return hexText(reinterpret_cast<const unsigned char*>(random.data()), random.size());
}

std::string tokenHash(const std::string& token) {
  unsigned char hash[crypto_generichash_BYTES];
  crypto_generichash(hash, sizeof hash, reinterpret_cast<const unsigned char*>(token.data()), token.size(), nullptr, 0);
  return hexText(hash, sizeof hash);
}
