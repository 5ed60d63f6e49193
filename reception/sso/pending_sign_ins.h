// Sign-ins on their way through the provider: the state, nonce and PKCE
// verifier of each, with the page it returns to and when it began, sealed
// (XSalsa20-Poly1305) into the browser's own short-lived cookie. Nothing is
// kept on the service, so starting sign-ins, however many, pushes out no
// other browser's, and the callback may reach any instance that shares the
// database (the key comes from the installation's secret).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

constexpr std::int64_t signInLifetimeMs = 10LL * 60 * 1000;
// Clocks of instances behind one load balancer differ a little: a sign-in
// that seems to start this far in the future is still accepted.
constexpr std::int64_t signInClockSkewMs = 60LL * 1000;
// Longer sealed values are not opened: a cookie is never near this.
constexpr std::size_t maxSealedSignInChars = 600;

enum class SignInPurpose { desk, host };  // the page it returns to: the desk, or the host's own page

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

// A new sign-in with fresh state, nonce and verifier.
PendingSignIn newSignIn(SignInPurpose purpose, std::int64_t now);
// The sealing key (32 bytes) of an installation, from its secret.
std::string signInSealKeyOf(const std::string& installationSecret);
// The cookie's value: base64url of a random nonce and the sealed sign-in.
std::string sealSignIn(const PendingSignIn& signIn, const std::string& key);
// The sign-in of a cookie's value; nullopt when it was not sealed with this
// key, was altered, is malformed or is too old.
std::optional<PendingSignIn> openSignIn(std::string_view sealed, const std::string& key, std::int64_t now);
