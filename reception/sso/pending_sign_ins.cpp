#include "sso/pending_sign_ins.h"

#include <sodium.h>

#include <vector>

#include "sso/jwk.h"

namespace {

constexpr std::size_t randomBytes = 32;
constexpr char sealContext[crypto_kdf_CONTEXTBYTES + 1] = "ssocooki";
constexpr std::uint64_t sealSubkeyId = 1;
// The sealed text's first field, so that a later layout can tell old cookies apart.
constexpr std::string_view layoutVersion = "1";
// Longer fields than our own tokens are never ours.
constexpr std::size_t maxTokenChars = 128;

std::string hashOf(const std::string& value) {
  unsigned char hash[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(hash, reinterpret_cast<const unsigned char*>(value.data()), value.size());
  return std::string(reinterpret_cast<const char*>(hash), sizeof hash);
}

const char* purposeName(SignInPurpose purpose) { return purpose == SignInPurpose::host ? "host" : "desk"; }

bool isToken(std::string_view text) {
  if (text.empty() || text.size() > maxTokenChars) return false;
  for (char c : text) {
    bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!allowed) return false;
  }
  return true;
}

// Milliseconds as written by sealSignIn: digits only, at most 15 of them.
std::optional<std::int64_t> millisecondsOf(std::string_view text) {
  if (text.empty() || text.size() > 15) return std::nullopt;
  std::int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

std::vector<std::string_view> fieldsOf(std::string_view text) {
  std::vector<std::string_view> fields;
  while (fields.size() < 7) {
    std::size_t space = text.find(' ');
    fields.push_back(text.substr(0, space));
    if (space == std::string_view::npos) break;
    text.remove_prefix(space + 1);
  }
  return fields;
}

std::optional<PendingSignIn> parsed(std::string_view text) {
  std::vector<std::string_view> fields = fieldsOf(text);
  if (fields.size() != 6 || fields[0] != layoutVersion) return std::nullopt;
  PendingSignIn signIn;
  if (fields[1] == "host") {
    signIn.purpose = SignInPurpose::host;
  } else if (fields[1] != "desk") {
    return std::nullopt;
  }
  std::optional<std::int64_t> startedAt = millisecondsOf(fields[2]);
  if (!startedAt || !isToken(fields[3]) || !isToken(fields[4]) || !isToken(fields[5])) return std::nullopt;
  signIn.startedAt = *startedAt;
  signIn.state = std::string(fields[3]);
  signIn.nonce = std::string(fields[4]);
  signIn.verifier = std::string(fields[5]);
  return signIn;
}

}  // namespace

std::string randomToken() {
  unsigned char bytes[randomBytes];
  randombytes_buf(bytes, sizeof bytes);
  return base64UrlEncode(std::string_view(reinterpret_cast<const char*>(bytes), sizeof bytes));
}

std::string codeChallengeOf(const std::string& verifier) { return base64UrlEncode(hashOf(verifier)); }

PendingSignIn newSignIn(SignInPurpose purpose, std::int64_t now) {
  return PendingSignIn{randomToken(), randomToken(), randomToken(), purpose, now};
}

std::string signInSealKeyOf(const std::string& installationSecret) {
  unsigned char master[crypto_kdf_KEYBYTES] = {};
  unsigned char key[crypto_secretbox_KEYBYTES] = {};
  crypto_generichash(master, sizeof master, reinterpret_cast<const unsigned char*>(installationSecret.data()),
                     installationSecret.size(), nullptr, 0);
  crypto_kdf_derive_from_key(key, sizeof key, sealSubkeyId, sealContext, master);
  std::string sealKey(reinterpret_cast<const char*>(key), sizeof key);
  sodium_memzero(master, sizeof master);
  sodium_memzero(key, sizeof key);
  return sealKey;
}

std::string sealSignIn(const PendingSignIn& signIn, const std::string& key) {
  std::string text = std::string(layoutVersion) + " " + purposeName(signIn.purpose) + " " +
                     std::to_string(signIn.startedAt) + " " + signIn.state + " " + signIn.nonce + " " + signIn.verifier;
  std::string sealed(crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES + text.size(), '\0');
  auto* out = reinterpret_cast<unsigned char*>(sealed.data());
  randombytes_buf(out, crypto_secretbox_NONCEBYTES);
  crypto_secretbox_easy(out + crypto_secretbox_NONCEBYTES, reinterpret_cast<const unsigned char*>(text.data()),
                        text.size(), out, reinterpret_cast<const unsigned char*>(key.data()));
  return base64UrlEncode(sealed);
}

std::optional<PendingSignIn> openSignIn(std::string_view sealed, const std::string& key, std::int64_t now) {
  if (key.size() != crypto_secretbox_KEYBYTES || sealed.size() > maxSealedSignInChars) return std::nullopt;
  std::string bytes;
  if (!base64UrlDecode(sealed, bytes) || bytes.size() < crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES) {
    return std::nullopt;
  }
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t boxSize = bytes.size() - crypto_secretbox_NONCEBYTES;
  std::string text(boxSize - crypto_secretbox_MACBYTES, '\0');
  if (crypto_secretbox_open_easy(reinterpret_cast<unsigned char*>(text.data()), in + crypto_secretbox_NONCEBYTES,
                                 boxSize, in, reinterpret_cast<const unsigned char*>(key.data())) != 0) {
    return std::nullopt;
  }
  std::optional<PendingSignIn> signIn = parsed(text);
  if (!signIn) return std::nullopt;
  bool tooOld = now - signIn->startedAt > signInLifetimeMs;
  bool tooNew = signIn->startedAt - now > signInClockSkewMs;
  if (tooOld || tooNew) return std::nullopt;
  return signIn;
}
