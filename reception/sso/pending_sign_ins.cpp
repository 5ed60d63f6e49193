#include "sso/pending_sign_ins.h"

#include <sodium.h>

#include "sso/jwk.h"
#include "store/sso_pending.h"

namespace {

constexpr std::size_t randomBytes = 32;

std::string hashOf(const std::string& value) {
  unsigned char hash[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(hash, reinterpret_cast<const unsigned char*>(value.data()), value.size());
  return std::string(reinterpret_cast<const char*>(hash), sizeof hash);
}

std::string hexOf(const std::string& bytes) {
  std::string text(bytes.size() * 2 + 1, '\0');
  sodium_bin2hex(&text[0], text.size(), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  text.pop_back();
  return text;
}

const char* purposeName(SignInPurpose purpose) { return purpose == SignInPurpose::host ? "host" : "desk"; }

bool saved(const std::string& key, const PendingSignIn& signIn) {
  StoredSignIn stored{signIn.state, signIn.nonce, signIn.verifier, purposeName(signIn.purpose), signIn.startedAt};
  return savePendingSignIn(hexOf(key), stored, signIn.startedAt - signInLifetimeMs,
                           static_cast<std::int64_t>(maxPendingSignIns)) == Outcome::ok;
}

std::optional<PendingSignIn> takenFromDatabase(const std::string& key) {
  StoredSignIn stored;
  if (takePendingSignIn(hexOf(key), stored) != Outcome::ok) return std::nullopt;
  SignInPurpose purpose = stored.purpose == "host" ? SignInPurpose::host : SignInPurpose::desk;
  return PendingSignIn{stored.state, stored.nonce, stored.verifier, purpose, stored.startedAt};
}

}  // namespace

std::string randomToken() {
  unsigned char bytes[randomBytes];
  randombytes_buf(bytes, sizeof bytes);
  return base64UrlEncode(std::string_view(reinterpret_cast<const char*>(bytes), sizeof bytes));
}

std::string codeChallengeOf(const std::string& verifier) { return base64UrlEncode(hashOf(verifier)); }

void PendingSignIns::forgetOld(std::int64_t now) {
  while (!started_.empty()) {
    auto oldest = pending_.find(started_.front());
    bool expired = oldest == pending_.end() || now - oldest->second.startedAt > signInLifetimeMs;
    if (!expired && started_.size() < maxPendingSignIns) return;
    if (oldest != pending_.end()) pending_.erase(oldest);
    started_.pop_front();
  }
}

std::string PendingSignIns::start(SignInPurpose purpose, std::int64_t now, PendingSignIn& started) {
  started = PendingSignIn{randomToken(), randomToken(), randomToken(), purpose, now};
  std::string cookieValue = randomToken();
  std::string key = hashOf(cookieValue);
  if (store_ == SignInStore::database) return saved(key, started) ? cookieValue : "";
  std::lock_guard<std::mutex> lock(mutex_);
  forgetOld(now);
  pending_[key] = started;
  started_.push_back(key);
  return cookieValue;
}

std::optional<PendingSignIn> PendingSignIns::take(const std::string& cookieValue, std::int64_t now) {
  PendingSignIn signIn;
  if (store_ == SignInStore::database) {
    std::optional<PendingSignIn> stored = takenFromDatabase(hashOf(cookieValue));
    if (!stored) return std::nullopt;
    signIn = *stored;
  } else {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = pending_.find(hashOf(cookieValue));
    if (found == pending_.end()) return std::nullopt;
    signIn = found->second;
    pending_.erase(found);
  }
  if (now - signIn.startedAt > signInLifetimeMs) return std::nullopt;
  return signIn;
}
