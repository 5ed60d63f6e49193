// Single sign-on's checks with keys and tokens made here with OpenSSL: the
// ID token verifier's table of refused tokens, the key cache's refetch on an
// unknown kid, the role from the groups and the options.
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/pem.h>

#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "commands/options.h"
#include "postgres_test_support.h"
#include "reception_test_support.h"
#include "sso/desk_sign_in.h"
#include "sso/sso_accounts.h"
#include "store/accounts.h"
#include "store/schema.h"
#include "sso/id_token.h"
#include "sso/jwks_cache.h"
#include "sso/pending_sign_ins.h"
#include "sso/sso_provider.h"

using nlohmann::json;

namespace {

constexpr char issuer[] = "https://id.example.test";
constexpr char client[] = "vestibra";
constexpr std::int64_t now = 1800000000;

using Key = std::unique_ptr<EVP_PKEY, EvpKeyFree>;

std::string bytesOfBn(EVP_PKEY* key, const char* name, std::size_t width = 0) {
  BIGNUM* number = nullptr;
  EXPECT_EQ(EVP_PKEY_get_bn_param(key, name, &number), 1);
  std::string bytes(width ? width : static_cast<std::size_t>(BN_num_bytes(number)), '\0');
  BN_bn2binpad(number, reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  BN_free(number);
  return bytes;
}

json jwkOf(EVP_PKEY* key, const std::string& kid) {
  if (EVP_PKEY_is_a(key, "RSA")) {
    return {{"kty", "RSA"}, {"kid", kid}, {"use", "sig"}, {"n", base64UrlEncode(bytesOfBn(key, OSSL_PKEY_PARAM_RSA_N))},
            {"e", base64UrlEncode(bytesOfBn(key, OSSL_PKEY_PARAM_RSA_E))}};
  }
  return {{"kty", "EC"}, {"kid", kid}, {"crv", "P-256"},
          {"x", base64UrlEncode(bytesOfBn(key, OSSL_PKEY_PARAM_EC_PUB_X, 32))},
          {"y", base64UrlEncode(bytesOfBn(key, OSSL_PKEY_PARAM_EC_PUB_Y, 32))}};
}

// JOSE's ES256 signature: R and S of 32 bytes each, from OpenSSL's DER.
std::string rawOfDer(const std::string& der) {
  const auto* in = reinterpret_cast<const unsigned char*>(der.data());
  ECDSA_SIG* signature = d2i_ECDSA_SIG(nullptr, &in, static_cast<long>(der.size()));
  std::string raw(64, '\0');
  BN_bn2binpad(ECDSA_SIG_get0_r(signature), reinterpret_cast<unsigned char*>(raw.data()), 32);
  BN_bn2binpad(ECDSA_SIG_get0_s(signature), reinterpret_cast<unsigned char*>(raw.data()) + 32, 32);
  ECDSA_SIG_free(signature);
  return raw;
}

std::string signWith(EVP_PKEY* key, const std::string& text) {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  std::size_t size = 0;
  EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, key);
  EVP_DigestSign(context, nullptr, &size, reinterpret_cast<const unsigned char*>(text.data()), text.size());
  std::string signature(size, '\0');
  EVP_DigestSign(context, reinterpret_cast<unsigned char*>(signature.data()), &size,
                 reinterpret_cast<const unsigned char*>(text.data()), text.size());
  EVP_MD_CTX_free(context);
  signature.resize(size);
  return EVP_PKEY_is_a(key, "EC") ? rawOfDer(signature) : signature;
}

std::string publicPem(EVP_PKEY* key) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_PUBKEY(bio, key);
  char* data = nullptr;
  long size = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<std::size_t>(size));
  BIO_free(bio);
  return pem;
}

std::string hmacOf(const std::string& secret, const std::string& text) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned size = 0;
  HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()), reinterpret_cast<const unsigned char*>(text.data()),
       text.size(), mac, &size);
  return std::string(reinterpret_cast<const char*>(mac), size);
}

std::string unsignedToken(const json& header, const json& claims) {
  return base64UrlEncode(header.dump()) + "." + base64UrlEncode(claims.dump());
}

std::string signedToken(EVP_PKEY* key, const json& header, const json& claims) {
  std::string text = unsignedToken(header, claims);
  return text + "." + base64UrlEncode(signWith(key, text));
}

json goodClaims() {
  return {{"iss", issuer}, {"aud", client}, {"sub", "u-1"}, {"exp", now + 300}, {"iat", now - 10}, {"nonce", "n-1"}};
}

class IdTokenTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    rsa = Key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(2048)));
    ec = Key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    other = Key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  }
  static void TearDownTestSuite() {
    rsa.reset();
    ec.reset();
    other.reset();
  }

  // The provider publishes rsa as "r1" and ec as "e1".
  std::string published() const { return json{{"keys", {jwkOf(rsa.get(), "r1"), jwkOf(ec.get(), "e1")}}}.dump(); }

  std::string verify(const std::string& token, JwksCache& cache) {
    json claims;
    IdTokenRules rules{issuer, client, "n-1", now};
    return verifyIdToken(token, [&](const std::string& kid) { return cache.keyFor(kid); }, rules, claims);
  }

  std::string verify(const std::string& token) {
    JwksCache cache([this](std::string& document) { document = published(); return true; }, [] { return 0; });
    return verify(token, cache);
  }

  static Key rsa;
  static Key ec;
  static Key other;
};

Key IdTokenTest::rsa;
Key IdTokenTest::ec;
Key IdTokenTest::other;

TEST_F(IdTokenTest, AcceptsRs256AndEs256FromThePublishedKeys) {
  EXPECT_EQ(verify(signedToken(rsa.get(), {{"alg", "RS256"}, {"kid", "r1"}}, goodClaims())), "");
  json several = goodClaims();
  several["aud"] = {client, "other"};
  several["azp"] = client;
  EXPECT_EQ(verify(signedToken(ec.get(), {{"alg", "ES256"}, {"kid", "e1"}}, several)), "");
  // Within the 60 s skew on both ends.
  json skewed = goodClaims();
  skewed["exp"] = now - 50;
  skewed["iat"] = now + 50;
  EXPECT_EQ(verify(signedToken(rsa.get(), {{"alg", "RS256"}, {"kid", "r1"}}, skewed)), "");
}

TEST_F(IdTokenTest, RefusesEachBadToken) {
  json rs = {{"alg", "RS256"}, {"kid", "r1"}};
  json es = {{"alg", "ES256"}, {"kid", "e1"}};
  auto with = [](const char* name, json value) {
    json claims = goodClaims();
    if (value.is_null()) {
      claims.erase(name);
    } else {
      claims[name] = std::move(value);
    }
    return claims;
  };
  std::string good = signedToken(rsa.get(), rs, goodClaims());
  std::string tampered = good;
  tampered[tampered.size() - 5] = tampered[tampered.size() - 5] == 'A' ? 'B' : 'A';
  std::string forged = unsignedToken(rs, with("sub", "admin")) + good.substr(good.rfind('.'));
  json hs = {{"alg", "HS256"}, {"kid", "r1"}};
  json embedded = {{"alg", "ES256"}, {"kid", "attacker"}, {"jwk", jwkOf(other.get(), "attacker")}};
  json rsaAsEs = {{"alg", "ES256"}, {"kid", "r1"}};
  const struct {
    const char* row;
    std::string token;
    const char* reason;
  } rows[] = {
      {"wrong iss", signedToken(rsa.get(), rs, with("iss", "https://evil.test")), "another issuer"},
      {"wrong aud", signedToken(rsa.get(), rs, with("aud", "someone-else")), "another client"},
      {"several audiences, no azp", signedToken(rsa.get(), rs, with("aud", {client, "x"})), "another party"},
      {"expired", signedToken(rsa.get(), rs, with("exp", now - 61)), "expired"},
      {"future iat", signedToken(rsa.get(), rs, with("iat", now + 61)), "future"},
      {"no exp", signedToken(rsa.get(), rs, with("exp", nullptr)), "lacks exp"},
      {"nonce mismatch", signedToken(rsa.get(), rs, with("nonce", "n-2")), "nonce"},
      {"no nonce", signedToken(rsa.get(), rs, with("nonce", nullptr)), "nonce"},
      {"alg none", unsignedToken({{"alg", "none"}, {"kid", "r1"}}, goodClaims()) + ".", "not accepted"},
      {"HS256 keyed with the public key", unsignedToken(hs, goodClaims()) + "." +
                                              base64UrlEncode(hmacOf(publicPem(rsa.get()), unsignedToken(hs, goodClaims()))),
       "not accepted"},
      {"key inside the token", signedToken(other.get(), embedded, goodClaims()), "does not publish"},
      {"unknown kid", signedToken(other.get(), {{"alg", "ES256"}, {"kid", "e9"}}, goodClaims()), "does not publish"},
      {"RSA key named for ES256", signedToken(ec.get(), rsaAsEs, goodClaims()), "does not fit"},
      {"signed by another key under a published kid", signedToken(other.get(), es, goodClaims()), "signature"},
      {"tampered signature", tampered, "signature"},
      {"claims swapped under a valid signature", forged, "signature"},
      {"crit header", signedToken(rsa.get(), {{"alg", "RS256"}, {"kid", "r1"}, {"crit", {"x"}}}, goodClaims()), "critical"},
      {"four parts", good + ".x", "not a signed JWT"},
      {"padded base64", good + "=", "not a signed JWT"},
  };
  for (const auto& row : rows) {
    std::string reason = verify(row.token);
    EXPECT_NE(reason.find(row.reason), std::string::npos) << row.row << ": " << reason;
  }
}

TEST_F(IdTokenTest, UnknownKidRefetchesOnceAMinuteAndFindsARotatedKey) {
  std::int64_t clock = 0;
  int fetches = 0;
  bool rotated = false;
  JwksCache cache(
      [&](std::string& document) {
        ++fetches;
        document = rotated ? json{{"keys", {jwkOf(other.get(), "e2")}}}.dump() : published();
        return true;
      },
      [&] { return clock; });
  json es2 = {{"alg", "ES256"}, {"kid", "e2"}};
  EXPECT_EQ(verify(signedToken(rsa.get(), {{"alg", "RS256"}, {"kid", "r1"}}, goodClaims()), cache), "");
  EXPECT_EQ(fetches, 1);
  // Not published yet: one refetch, and none more within the minute.
  EXPECT_NE(verify(signedToken(other.get(), es2, goodClaims()), cache), "");
  EXPECT_NE(verify(signedToken(other.get(), es2, goodClaims()), cache), "");
  EXPECT_EQ(fetches, 2);
  // The provider rotates: found on the next refetch a minute later.
  rotated = true;
  clock += unknownKidRefetchMs;
  EXPECT_EQ(verify(signedToken(other.get(), es2, goodClaims()), cache), "");
  EXPECT_EQ(fetches, 3);
  EXPECT_NE(verify(signedToken(rsa.get(), {{"alg", "RS256"}, {"kid", "r1"}}, goodClaims()), cache), "");
}

TEST(SsoRoles, AdminBeforeDeskBeforeKiosk) {
  SsoSettings settings;
  settings.groupsClaim = "roles";
  settings.adminGroup = "it";
  settings.deskGroup = "reception";
  settings.kioskGroup = "lobby";
  std::string refusal;
  EXPECT_EQ(deskRoleOf({{"roles", {"lobby", "reception", "it"}}}, settings, refusal), "admin");
  EXPECT_EQ(deskRoleOf({{"roles", {"lobby", "reception"}}}, settings, refusal), "desk");
  EXPECT_EQ(deskRoleOf({{"roles", "reception"}}, settings, refusal), "desk");
  EXPECT_EQ(deskRoleOf({{"groups", {"it"}}}, settings, refusal), "");  // another claim
  EXPECT_EQ(deskRoleOf({{"roles", {"lobby"}}}, settings, refusal), "kiosk");
  EXPECT_EQ(deskRoleOf({{"roles", {"visitors"}}}, settings, refusal), "");
  EXPECT_NE(refusal.find("not in a group"), std::string::npos);
  settings.adminGroup = "";  // an unset group matches nobody
  EXPECT_EQ(deskRoleOf({{"roles", {""}}}, settings, refusal), "");
  EXPECT_EQ(deskNameOf({{"preferred_username", "ann smith"}, {"email", "ann@example.test"}}), "ann@example.test");
}

// The groups decide the role at every sign-in: the kiosk group makes a
// kiosk account (its session then reaches the kiosk only), and leaving it
// makes the same account a desk account again.
TEST(SsoAccounts, TheKioskGroupMakesAKioskAndLeavingItUndoesIt) {
  TemporaryDirectory directory;
  TestPostgresDatabase postgres;
  ASSERT_EQ(openStorage(testDatabaseIn(directory.path, postgres)), "");
  DeskAccount account;
  ASSERT_EQ(signInSsoAccount("https://id.example.test", "tablet-1", "lobby-tablet", "kiosk", account), Outcome::ok);
  EXPECT_EQ(account.role, "kiosk");
  std::string token;
  ASSERT_EQ(startSession(account.id, token), Outcome::ok);
  DeskAccount bySession;
  ASSERT_EQ(findSession(token, bySession), Outcome::ok);
  EXPECT_EQ(bySession.role, "kiosk");
  ASSERT_EQ(signInSsoAccount("https://id.example.test", "tablet-1", "lobby-tablet", "desk", account), Outcome::ok);
  EXPECT_EQ(account.role, "desk");
  ASSERT_EQ(findSession(token, bySession), Outcome::ok);
  EXPECT_EQ(bySession.role, "desk");
  closeStorage();
  postgres.drop();
}

TEST(SsoCookie, ASealedSignInOpensOnlyWithItsKeyUnalteredAndInTime) {
  EXPECT_EQ(codeChallengeOf("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"), "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
  std::string key = signInSealKeyOf("the installation's secret");
  EXPECT_EQ(key.size(), 32u);
  EXPECT_EQ(signInSealKeyOf("the installation's secret"), key) << "every instance on the database has the same key";
  PendingSignIn started = newSignIn(SignInPurpose::host, 5000);
  std::string cookie = sealSignIn(started, key);
  EXPECT_NE(sealSignIn(started, key), cookie) << "a fresh nonce each time";
  EXPECT_EQ(cookie.find(started.state), std::string::npos) << "the state is not readable in the cookie";
  std::optional<PendingSignIn> opened = openSignIn(cookie, key, 6000);
  ASSERT_TRUE(opened);
  EXPECT_EQ(opened->state, started.state);
  EXPECT_EQ(opened->nonce, started.nonce);
  EXPECT_EQ(opened->verifier, started.verifier);
  EXPECT_EQ(opened->purpose, SignInPurpose::host);
  EXPECT_EQ(opened->startedAt, 5000);

  std::string altered = cookie;
  altered[30] = altered[30] == 'A' ? 'B' : 'A';
  struct Case {
    const char* what;
    std::string value;
    std::string key;
    std::int64_t now;
  };
  const Case refused[] = {
      {"another installation's key", cookie, signInSealKeyOf("another secret"), 6000},
      {"an altered cookie", altered, key, 6000},
      {"a cut cookie", cookie.substr(0, cookie.size() - 4), key, 6000},
      {"no cookie", "", key, 6000},
      {"not base64url", "!!not-a-cookie!!", key, 6000},
      {"an expired sign-in", cookie, key, 5000 + signInLifetimeMs + 1},
      {"a sign-in from the future", cookie, key, 5000 - signInClockSkewMs - 1},
      {"no key", cookie, "", 6000},
      {"an overlong cookie", std::string(maxSealedSignInChars + 1, 'A'), key, 6000},
  };
  for (const Case& c : refused) EXPECT_FALSE(openSignIn(c.value, c.key, c.now)) << c.what;
  EXPECT_TRUE(openSignIn(cookie, key, 5000 + signInLifetimeMs)) << "the last moment of its life";
}

TEST(SsoOptions, IssuerMustBeHttpsOrLoopbackAndTheCoreOptionsGoTogether) {
  auto parse = [](const std::vector<std::string>& arguments) {
    ReceptionOptions options;
    return parseCommandLine(arguments, options);
  };
  EXPECT_EQ(parse({"--oidc-issuer", "https://id.example.test/realms/x", "--oidc-client-id", "v",
                   "--oidc-client-secret-file", "s", "--oidc-kiosk-group", "k", "--oidc-display-name", "Office"}),
            "");
  EXPECT_EQ(parse({"--oidc-issuer=http://127.0.0.1:4000", "--oidc-client-id=v", "--oidc-client-secret-file=s"}), "");
  EXPECT_NE(parse({"--oidc-issuer", "http://id.example.test"}), "");
  EXPECT_NE(parse({"--oidc-issuer", "http://127.0.0.1.example.test"}), "");
  EXPECT_NE(parse({"--oidc-issuer", "https://user@id.example.test"}), "");
  EXPECT_NE(parse({"--oidc-issuer", "https://id.example.test"}).find("go together"), std::string::npos);
  // A CA file that cannot be read stops the start, naming it.
  TemporaryDirectory directory;
  std::ofstream(directory.path / "secret") << "s3cret\n";
  SsoOptions sso;
  sso.issuer = issuer;
  sso.clientId = client;
  sso.clientSecretFile = (directory.path / "secret").string();
  sso.caFile = (directory.path / "missing-ca.pem").string();
  SsoSettings settings;
  EXPECT_NE(prepareSsoSettings(sso, "https://desk.example.test/", settings).find("missing-ca.pem"), std::string::npos);
  sso.caFile.clear();
  EXPECT_EQ(prepareSsoSettings(sso, "https://desk.example.test/", settings), "");
}

}  // namespace
