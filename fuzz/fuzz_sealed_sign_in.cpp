// The single sign-on cookie's opener. The input is opened twice: as the
// cookie's value a browser sends (which must never open without the key),
// and as the text inside a cookie sealed with the key here, so that the
// fields' parser sees every shape. Whatever opens holds fields of the
// shape the service writes, within the sign-in's lifetime, and seals and
// opens again to the same sign-in.
#include <sodium.h>

#include <cctype>
#include <string>

#include "fuzz_check.h"
#include "sso/jwk.h"
#include "sso/pending_sign_ins.h"

namespace {

constexpr std::int64_t now = 1767346205000LL;

bool isTokenShaped(const std::string& text) {
  if (text.empty() || text.size() > 128) return false;
  for (char c : text) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') return false;
  }
  return true;
}

std::string sealedText(std::string_view text, const std::string& key) {
  std::string sealed(crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES + text.size(), '\0');
  auto* out = reinterpret_cast<unsigned char*>(sealed.data());
  crypto_secretbox_easy(out + crypto_secretbox_NONCEBYTES, reinterpret_cast<const unsigned char*>(text.data()),
                        text.size(), out, reinterpret_cast<const unsigned char*>(key.data()));
  return base64UrlEncode(sealed);
}

void checkOpened(const PendingSignIn& signIn, const std::string& key) {
  FUZZ_CHECK(isTokenShaped(signIn.state) && isTokenShaped(signIn.nonce) && isTokenShaped(signIn.verifier));
  FUZZ_CHECK(now - signIn.startedAt <= signInLifetimeMs && signIn.startedAt - now <= signInClockSkewMs);
  std::optional<PendingSignIn> again = openSignIn(sealSignIn(signIn, key), key, now);
  FUZZ_CHECK(again && again->state == signIn.state && again->nonce == signIn.nonce &&
             again->verifier == signIn.verifier && again->purpose == signIn.purpose &&
             again->startedAt == signIn.startedAt);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool ready = sodium_init() >= 0;
  FUZZ_CHECK(ready);
  static const std::string key = signInSealKeyOf("the fuzz target's secret");
  std::string_view input = fuzzBytes(data, size);
  FUZZ_CHECK(!openSignIn(input, key, now));
  std::optional<PendingSignIn> opened = openSignIn(sealedText(input, key), key, now);
  if (opened) checkOpened(*opened, key);
  return 0;
}
