#include "sso/id_token.h"

#include <sodium.h>

using nlohmann::json;

namespace {

// The token's three base64url parts, decoded; false when it is not a compact JWS.
bool splitToken(const std::string& token, std::string& header, std::string& payload, std::string& signature,
                std::size_t& signedLength) {
  std::size_t first = token.find('.');
  std::size_t second = first == std::string::npos ? first : token.find('.', first + 1);
  if (second == std::string::npos || token.find('.', second + 1) != std::string::npos) return false;
  signedLength = second;
  return base64UrlDecode(std::string_view(token).substr(0, first), header) &&
         base64UrlDecode(std::string_view(token).substr(first + 1, second - first - 1), payload) &&
         base64UrlDecode(std::string_view(token).substr(second + 1), signature);
}

bool isString(const json& object, const char* name, const std::string& expected) {
  auto found = object.find(name);
  return found != object.end() && found->is_string() && found->get<std::string>() == expected;
}

// A NumericDate member (seconds), or nullopt.
std::optional<std::int64_t> secondsOf(const json& object, const char* name) {
  auto found = object.find(name);
  if (found == object.end() || !found->is_number()) return std::nullopt;
  double value = found->get<double>();
  if (!(value > -1e12 && value < 1e12)) return std::nullopt;
  return static_cast<std::int64_t>(value);
}

// aud holds the client; with several audiences azp must name it.
std::string audienceProblem(const json& claims, const std::string& clientId) {
  auto audience = claims.find("aud");
  if (audience == claims.end()) return "it names no audience";
  bool several = false;
  if (audience->is_string()) {
    if (audience->get<std::string>() != clientId) return "it is for another client";
  } else if (audience->is_array()) {
    bool found = false;
    for (const json& entry : *audience) found = found || (entry.is_string() && entry.get<std::string>() == clientId);
    if (!found) return "it is for another client";
    several = audience->size() > 1;
  } else {
    return "its audience is malformed";
  }
  if ((several || claims.contains("azp")) && !isString(claims, "azp", clientId)) return "it was issued to another party";
  return "";
}

std::string claimsProblem(const json& claims, const IdTokenRules& rules) {
  if (!claims.is_object()) return "its claims are not a JSON object";
  if (!isString(claims, "iss", rules.issuer)) return "it comes from another issuer";
  std::string audience = audienceProblem(claims, rules.clientId);
  if (!audience.empty()) return audience;
  std::optional<std::int64_t> expires = secondsOf(claims, "exp");
  std::optional<std::int64_t> issued = secondsOf(claims, "iat");
  if (!expires || !issued) return "it lacks exp or iat";
  if (rules.nowSeconds - idTokenSkewSeconds >= *expires) return "it has expired";
  if (*issued > rules.nowSeconds + idTokenSkewSeconds) return "it is issued in the future";
  auto nonce = claims.find("nonce");
  if (nonce == claims.end() || !nonce->is_string() || rules.nonce.empty() ||
      nonce->get<std::string>().size() != rules.nonce.size() ||
      sodium_memcmp(nonce->get<std::string>().data(), rules.nonce.data(), rules.nonce.size()) != 0) {
    return "its nonce is not this sign-in's";
  }
  auto subject = claims.find("sub");
  if (subject == claims.end() || !subject->is_string() || subject->get<std::string>().empty()) return "it has no subject";
  return "";
}

}  // namespace

std::string verifyIdToken(const std::string& token, const KeyLookup& keyFor, const IdTokenRules& rules, json& claims) {
  std::string headerText;
  std::string payloadText;
  std::string signature;
  std::size_t signedLength = 0;
  if (token.size() > maxIdTokenBytes || !splitToken(token, headerText, payloadText, signature, signedLength)) {
    return "the ID token is not a signed JWT";
  }
  json header = json::parse(headerText, nullptr, false);
  if (!header.is_object()) return "the ID token's header is not a JSON object";
  // Only the two asymmetric algorithms: never none, never an HMAC keyed with a public key.
  std::string alg = header.contains("alg") && header["alg"].is_string() ? header["alg"].get<std::string>() : "";
  if (alg != "RS256" && alg != "ES256") return "the ID token's algorithm \"" + alg.substr(0, 20) + "\" is not accepted";
  // Extensions the token says must be understood: none are.
  if (header.contains("crit")) return "the ID token has critical header parameters";
  std::string kid = header.contains("kid") && header["kid"].is_string() ? header["kid"].get<std::string>() : "";
  std::optional<VerificationKey> key = keyFor(kid);
  if (!key) return "the ID token is signed with a key the provider does not publish";
  if (key->alg != alg) return "the ID token's algorithm does not fit its key";
  if (!verifySignature(*key, std::string_view(token).substr(0, signedLength), signature)) {
    return "the ID token's signature is not valid";
  }
  json parsed = json::parse(payloadText, nullptr, false);
  std::string problem = claimsProblem(parsed, rules);
  if (!problem.empty()) return "the ID token is refused: " + problem;
  claims = std::move(parsed);
  return "";
}
