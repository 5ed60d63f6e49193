#include "sso/jwks_cache.h"

#include <utility>

JwksCache::JwksCache(Fetch fetch, std::function<std::int64_t()> nowMs) : fetch_(std::move(fetch)), nowMs_(std::move(nowMs)) {}

bool JwksCache::reloadLocked() {
  std::string document;
  std::map<std::string, VerificationKey> keys;
  if (!fetch_(document) || !readJwks(document, keys)) return false;
  keys_ = std::move(keys);
  loaded_ = true;
  return true;
}

bool JwksCache::reload() {
  std::lock_guard<std::mutex> lock(mutex_);
  return reloadLocked();
}

std::optional<VerificationKey> JwksCache::keyFor(const std::string& kid) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!loaded_ && !reloadLocked()) return std::nullopt;
  auto found = keys_.find(kid);
  if (found != keys_.end()) return found->second;
  std::int64_t now = nowMs_();
  if (lastUnknownKidFetch_ && now - *lastUnknownKidFetch_ < unknownKidRefetchMs) return std::nullopt;
  lastUnknownKidFetch_ = now;
  if (!reloadLocked()) return std::nullopt;
  found = keys_.find(kid);
  return found != keys_.end() ? std::optional<VerificationKey>(found->second) : std::nullopt;
}
