// The ID token's checks: an RS256 or ES256 signature by one of the
// provider's keys, and the claims that bind it to this sign-in. Only the
// provider's published keys count: a key the token names or carries (jwk,
// jku, x5c, x5u) is never used, and alg none or an HMAC is refused.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "sso/jwk.h"

// Clocks of the provider and this service may differ this much.
constexpr std::int64_t idTokenSkewSeconds = 60;
constexpr std::size_t maxIdTokenBytes = std::size_t{16} * 1024;

struct IdTokenRules {
  std::string issuer;
  std::string clientId;
  std::string nonce;  // the one sent with this sign-in
  std::int64_t nowSeconds = 0;
};

// The provider's key with that kid, or nullopt (see JwksCache).
using KeyLookup = std::function<std::optional<VerificationKey>(const std::string& kid)>;

// "" with the token's claims, or why the token is refused.
std::string verifyIdToken(const std::string& token, const KeyLookup& keyFor, const IdTokenRules& rules,
                          nlohmann::json& claims);
