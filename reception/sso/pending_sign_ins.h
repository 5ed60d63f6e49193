// Sign-ins on their way through the provider: the state, nonce and PKCE
// verifier of each, found by the random value of the browser's short-lived
// cookie and taken out on first use, so a callback cannot be replayed.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

constexpr std::int64_t signInLifetimeMs = 10LL * 60 * 1000;
// Past this many, the oldest sign-in under way is dropped for a new one: a
// flood of started sign-ins costs bounded memory and cannot shut sign-in off.
constexpr std::size_t maxPendingSignIns = 20000;

enum class SignInPurpose { desk, host };

struct PendingSignIn {
  std::string state;
  std::string nonce;
  std::string verifier;  // PKCE: the challenge sent is its SHA-256
  SignInPurpose purpose = SignInPurpose::desk;
  std::int64_t startedAt = 0;
};

// 32 random bytes as base64url.
std::string randomToken();
// PKCE S256: base64url(SHA-256(verifier)).
std::string codeChallengeOf(const std::string& verifier);

// Where they are kept: in this process, or in the database, where the
// provider's callback finds them on whichever instance it reaches.
enum class SignInStore { memory, database };

class PendingSignIns {
 public:
  explicit PendingSignIns(SignInStore store = SignInStore::memory) : store_(store) {}
  // A new sign-in with fresh state, nonce and verifier; the cookie's value
  // for it, or "" when it could not be saved.
  std::string start(SignInPurpose purpose, std::int64_t now, PendingSignIn& started);
  // The sign-in of the cookie's value, removed; nullopt when unknown, used or too old.
  std::optional<PendingSignIn> take(const std::string& cookieValue, std::int64_t now);

 private:
  void forgetOld(std::int64_t now);

  SignInStore store_;
  std::mutex mutex_;
  std::unordered_map<std::string, PendingSignIn> pending_;  // by a hash of the cookie's value
  std::deque<std::string> started_;                        // those keys, oldest first (taken ones too)
};
