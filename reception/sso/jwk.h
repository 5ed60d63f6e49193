// Public keys of an OpenID provider from its JWKS document, for RS256 and
// ES256 signatures only. OpenSSL 3's EVP holds and checks the keys; this
// reads no more of JSON Web Keys than those two algorithms need.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>

#include <openssl/evp.h>

struct EvpKeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};

// A key and the one algorithm it may verify ("RS256" or "ES256").
struct VerificationKey {
  std::shared_ptr<EVP_PKEY> key;
  std::string alg;
};

// RSA keys below this size are refused.
constexpr int minRsaBits = 2048;

// URL-safe base64 without padding (RFC 7515's base64url); false for anything else.
bool base64UrlDecode(std::string_view text, std::string& bytes);
std::string base64UrlEncode(std::string_view bytes);

// The document's signature keys by kid ("" for a key without one). Keys of
// other types, curves, algorithms or uses are skipped; false when the
// document is not a JWKS at all.
bool readJwks(const std::string& document, std::map<std::string, VerificationKey>& keys);

// Whether signature is a valid one of key's algorithm over signed.
bool verifySignature(const VerificationKey& key, std::string_view signedText, const std::string& signature);
