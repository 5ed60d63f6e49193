#include "sso/jwk.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/param_build.h>
#include <sodium.h>

#include <nlohmann/json.hpp>

using nlohmann::json;

namespace {

constexpr std::size_t p256CoordinateBytes = 32;

struct BnFree {
  void operator()(BIGNUM* number) const { BN_free(number); }
};
struct ParamBuildFree {
  void operator()(OSSL_PARAM_BLD* build) const { OSSL_PARAM_BLD_free(build); }
};
struct ParamFree {
  void operator()(OSSL_PARAM* params) const { OSSL_PARAM_free(params); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
struct EcdsaSigFree {
  void operator()(ECDSA_SIG* signature) const { ECDSA_SIG_free(signature); }
};
using Bignum = std::unique_ptr<BIGNUM, BnFree>;

// A base64url member of the key, decoded; "" when missing or malformed.
std::string memberBytes(const json& jwk, const char* name) {
  std::string bytes;
  auto found = jwk.find(name);
  if (found == jwk.end() || !found->is_string() || !base64UrlDecode(found->get<std::string>(), bytes)) return "";
  return bytes;
}

Bignum bignumOf(const std::string& bytes) {
  return Bignum(BN_bin2bn(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()), nullptr));
}

// The key from OpenSSL parameters, checked as a public key of its type.
std::shared_ptr<EVP_PKEY> keyFromParams(const char* type, OSSL_PARAM_BLD* build) {
  std::unique_ptr<OSSL_PARAM, ParamFree> params(OSSL_PARAM_BLD_to_param(build));
  std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> context(EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr));
  EVP_PKEY* made = nullptr;
  if (!params || !context || EVP_PKEY_fromdata_init(context.get()) <= 0 ||
      EVP_PKEY_fromdata(context.get(), &made, EVP_PKEY_PUBLIC_KEY, params.get()) <= 0) {
    return nullptr;
  }
  std::shared_ptr<EVP_PKEY> key(made, EvpKeyFree());
  std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> check(EVP_PKEY_CTX_new_from_pkey(nullptr, made, nullptr));
  if (!check || EVP_PKEY_public_check(check.get()) <= 0) return nullptr;
  return key;
}

std::shared_ptr<EVP_PKEY> rsaKey(const json& jwk) {
  Bignum modulus = bignumOf(memberBytes(jwk, "n"));
  Bignum exponent = bignumOf(memberBytes(jwk, "e"));
  if (!modulus || !exponent || BN_is_zero(exponent.get()) || BN_num_bits(modulus.get()) < minRsaBits) return nullptr;
  std::unique_ptr<OSSL_PARAM_BLD, ParamBuildFree> build(OSSL_PARAM_BLD_new());
  if (!build || !OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_N, modulus.get()) ||
      !OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_E, exponent.get())) {
    return nullptr;
  }
  return keyFromParams("RSA", build.get());
}

std::shared_ptr<EVP_PKEY> p256Key(const json& jwk) {
  std::string x = memberBytes(jwk, "x");
  std::string y = memberBytes(jwk, "y");
  if (x.size() != p256CoordinateBytes || y.size() != p256CoordinateBytes) return nullptr;
  std::string point = "\x04" + x + y;  // the uncompressed point
  std::unique_ptr<OSSL_PARAM_BLD, ParamBuildFree> build(OSSL_PARAM_BLD_new());
  if (!build || !OSSL_PARAM_BLD_push_utf8_string(build.get(), OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0) ||
      !OSSL_PARAM_BLD_push_octet_string(build.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size())) {
    return nullptr;
  }
  return keyFromParams("EC", build.get());
}

std::string stringMember(const json& object, const char* name) {
  auto found = object.find(name);
  return found != object.end() && found->is_string() ? found->get<std::string>() : "";
}

// The key with its algorithm, or one with no key when it is not for RS256 or ES256 signatures.
VerificationKey readKey(const json& jwk) {
  if (!jwk.is_object()) return {};
  std::string use = stringMember(jwk, "use");
  std::string alg = stringMember(jwk, "alg");
  std::string type = stringMember(jwk, "kty");
  if (!use.empty() && use != "sig") return {};
  if (type == "RSA" && (alg.empty() || alg == "RS256")) return {rsaKey(jwk), "RS256"};
  if (type == "EC" && stringMember(jwk, "crv") == "P-256" && (alg.empty() || alg == "ES256")) {
    return {p256Key(jwk), "ES256"};
  }
  return {};
}

// JOSE's ES256 signature is R and S, 32 bytes each; OpenSSL verifies DER.
std::string derOfEcdsa(const std::string& raw) {
  if (raw.size() != 2 * p256CoordinateBytes) return "";
  std::unique_ptr<ECDSA_SIG, EcdsaSigFree> signature(ECDSA_SIG_new());
  Bignum r = bignumOf(raw.substr(0, p256CoordinateBytes));
  Bignum s = bignumOf(raw.substr(p256CoordinateBytes));
  if (!signature || !r || !s) return "";
  // The signature owns both numbers from here.
  ECDSA_SIG_set0(signature.get(), r.release(), s.release());
  int size = i2d_ECDSA_SIG(signature.get(), nullptr);
  if (size <= 0) return "";
  std::string der(static_cast<std::size_t>(size), '\0');
  auto* out = reinterpret_cast<unsigned char*>(der.data());
  return i2d_ECDSA_SIG(signature.get(), &out) == size ? der : "";
}

}  // namespace

bool base64UrlDecode(std::string_view text, std::string& bytes) {
  bytes.assign(text.size() * 3 / 4 + 3, '\0');
  std::size_t length = 0;
  const char* end = nullptr;
  if (sodium_base642bin(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(), text.data(), text.size(), nullptr,
                        &length, &end, sodium_base64_VARIANT_URLSAFE_NO_PADDING) != 0 ||
      end != text.data() + text.size()) {
    return false;
  }
  bytes.resize(length);
  return true;
}

std::string base64UrlEncode(std::string_view bytes) {
  std::string text(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_URLSAFE_NO_PADDING), '\0');
  sodium_bin2base64(text.data(), text.size(), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                    sodium_base64_VARIANT_URLSAFE_NO_PADDING);
  text.resize(text.size() - 1);  // the terminating zero
  return text;
}

bool readJwks(const std::string& document, std::map<std::string, VerificationKey>& keys) {
  json parsed = json::parse(document, nullptr, false);
  if (!parsed.is_object() || !parsed.contains("keys") || !parsed["keys"].is_array()) return false;
  keys.clear();
  for (const json& jwk : parsed["keys"]) {
    VerificationKey key = readKey(jwk);
    if (key.key) keys.emplace(stringMember(jwk, "kid"), key);
  }
  return true;
}

bool verifySignature(const VerificationKey& key, std::string_view signedText, const std::string& signature) {
  bool isRsa = key.alg == "RS256" && EVP_PKEY_is_a(key.key.get(), "RSA");
  bool isEc = key.alg == "ES256" && EVP_PKEY_is_a(key.key.get(), "EC");
  if (!key.key || (!isRsa && !isEc)) return false;
  std::string der = isEc ? derOfEcdsa(signature) : signature;
  if (der.empty()) return false;
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> context(EVP_MD_CTX_new());
  if (!context || EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.key.get()) <= 0) return false;
  return EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(der.data()), der.size(),
                          reinterpret_cast<const unsigned char*>(signedText.data()), signedText.size()) == 1;
}
