// The provider's signature keys, kept by kid. A token signed with a kid not
// in the cache causes one refetch, at most once a minute, so a provider's
// key rotation needs no restart and a stream of made-up kids cannot make the
// service hammer the provider.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "sso/jwk.h"

constexpr std::int64_t unknownKidRefetchMs = 60LL * 1000;

class JwksCache {
 public:
  // fetch: the JWKS document's text, or false when it cannot be read.
  using Fetch = std::function<bool(std::string& document)>;
  JwksCache(Fetch fetch, std::function<std::int64_t()> nowMs);

  std::optional<VerificationKey> keyFor(const std::string& kid);
  // Reads the keys again now (the hourly refresh); false when that failed,
  // and the keys held are kept.
  bool reload();

 private:
  bool reloadLocked();

  Fetch fetch_;
  std::function<std::int64_t()> nowMs_;
  std::mutex mutex_;
  std::map<std::string, VerificationKey> keys_;
  bool loaded_ = false;
  std::optional<std::int64_t> lastUnknownKidFetch_;
};
