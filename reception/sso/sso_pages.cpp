#include "sso/sso_pages.h"

#include <sodium.h>

#include <cctype>

#include "http/query.h"
#include "log/service_log.h"
#include "sso/desk_sign_in.h"
#include "sso/host_sign_in.h"
#include "sso/id_token.h"
#include "sso/pending_sign_ins.h"
#include "sso/sso_answers.h"
#include "store/audit.h"
#include "store/clock.h"
#include "store/installation_secret.h"

using nlohmann::json;

namespace {

std::unique_ptr<SsoProvider>& provider() {
  static std::unique_ptr<SsoProvider> current;
  return current;
}

// The key sign-ins are sealed with, or "" when the database cannot give it.
std::string signInSealKey() {
  std::string secret;
  if (installationSecret(secret) != Outcome::ok) return "";
  return signInSealKeyOf(secret);
}

HttpResponse notConfigured() { return ssoPage(404, "Not found", "Single sign-on is not set up on this service."); }

HttpResponse providerDown() {
  return ssoPage(503, "Single sign-on is unavailable",
                 "The sign-in service cannot be reached at the moment. Please try again shortly, or log in with a "
                 "password.");
}

std::string lowered(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string hostNameOf(const std::string& authority) {
  if (!authority.empty() && authority.front() == '[') return lowered(authority.substr(0, authority.find(']') + 1));
  return lowered(authority.substr(0, authority.find(':')));
}

// The provider sends the browser back to the public URL: the sign-in's
// cookie must be set on that host name (cookies ignore ports and schemes),
// so a desk opened by another name goes there first.
bool onPublicHost(const HttpRequest& request, const std::string& publicUrl) {
  std::size_t start = publicUrl.find("://") + 3;
  return hostNameOf(publicUrl.substr(start, publicUrl.find('/', start) - start)) == hostNameOf(request.host);
}

HttpResponse startSignIn(const HttpRequest& request, SignInPurpose purpose, const char* startPath) {
  SsoProvider* current = provider().get();
  if (!current) return notConfigured();
  const SsoSettings& settings = current->settings();
  if (!onPublicHost(request, settings.publicUrl)) return ssoRedirect(settings.publicUrl + startPath);
  std::optional<ProviderEndpoints> endpoints = current->endpoints();
  if (!endpoints) return providerDown();
  PendingSignIn signIn = newSignIn(purpose, currentTimeMs());
  std::string key = signInSealKey();
  if (key.empty()) {
    return ssoPage(503, "Single sign-on is unavailable", "The sign-in could not be started. Please try again shortly.");
  }
  std::string location = endpoints->authorization + (endpoints->authorization.find('?') == std::string::npos ? "?" : "&") +
                         "response_type=code&scope=openid%20email%20profile&client_id=" + formEncode(settings.clientId) +
                         "&redirect_uri=" + formEncode(settings.redirectUri) + "&state=" + signIn.state +
                         "&nonce=" + signIn.nonce + "&code_challenge=" + codeChallengeOf(signIn.verifier) +
                         "&code_challenge_method=S256";
  HttpResponse answer = ssoRedirect(location);
  answer.headers.emplace_back("Set-Cookie", signInCookie(request, sealSignIn(signIn, key), false));
  return answer;
}

bool sameText(const std::string& given, const std::string& expected) {
  return given.size() == expected.size() && sodium_memcmp(given.data(), expected.data(), given.size()) == 0;
}

std::string basicCredentials(const SsoSettings& settings) {
  std::string pair = formEncode(settings.clientId) + ":" + formEncode(settings.clientSecret);
  std::string text(sodium_base64_ENCODED_LEN(pair.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(text.data(), text.size(), reinterpret_cast<const unsigned char*>(pair.data()), pair.size(),
                    sodium_base64_VARIANT_ORIGINAL);
  text.pop_back();
  return "Basic " + text;
}

// The ID token for the code, or "" with why not.
std::string exchangeCode(const SsoSettings& settings, const ProviderEndpoints& endpoints, const std::string& code,
                         const std::string& verifier, std::string& problem) {
  std::string form = "grant_type=authorization_code&code=" + formEncode(code) +
                     "&redirect_uri=" + formEncode(settings.redirectUri) + "&code_verifier=" + formEncode(verifier);
  ProviderAnswer answer = providerPostForm(endpoints.token, form, basicCredentials(settings), settings.caFile);
  json body = json::parse(answer.body, nullptr, false);
  if (answer.status == 200 && body.is_object() && body.contains("id_token") && body["id_token"].is_string()) {
    return body["id_token"].get<std::string>();
  }
  std::string error = body.is_object() && body.contains("error") && body["error"].is_string()
                          ? body["error"].get<std::string>().substr(0, 100)
                          : "";
  problem = answer.status == 0 ? "the token endpoint cannot be reached: " + answer.error
                               : "the token endpoint answered HTTP " + std::to_string(answer.status) +
                                     (error.empty() ? "" : " (" + error + ")");
  return "";
}

HttpResponse refuseCallback(const HttpRequest& request, const std::string& reason, int status, const std::string& title,
                            const std::string& text) {
  recordAudit("(single sign-on)", request.clientAddress, "login-failed", "single sign-on: " + reason);
  logEvent("single sign-on: a sign-in from " + request.clientAddress + " was refused: " + reason);
  HttpResponse answer = ssoPage(status, title, text);
  answer.headers.emplace_back("Set-Cookie", signInCookie(request, "", true));
  return answer;
}

HttpResponse finishSignIn(const HttpRequest& request, SsoProvider& current, const PendingSignIn& signIn,
                          const std::string& code) {
  const SsoSettings& settings = current.settings();
  std::optional<ProviderEndpoints> endpoints = current.endpoints();
  if (!endpoints) return providerDown();
  std::string problem;
  std::string idToken = exchangeCode(settings, *endpoints, code, signIn.verifier, problem);
  if (idToken.empty()) {
    return refuseCallback(request, problem, 502, "Sign-in failed",
                          "The sign-in service did not confirm this sign-in. Please start again.");
  }
  IdTokenRules rules{settings.issuer, settings.clientId, signIn.nonce, currentTimeMs() / 1000};
  json claims;
  problem = verifyIdToken(
      idToken, [&current](const std::string& kid) { return current.keys().keyFor(kid); }, rules, claims);
  if (!problem.empty()) {
    return refuseCallback(request, problem, 403, "Sign-in failed",
                          "The sign-in service's answer could not be verified. Please start again.");
  }
  return signIn.purpose == SignInPurpose::desk ? signInToDesk(request, claims, settings)
                                               : signInToHostPage(request, claims, settings);
}

}  // namespace

void startSso(const SsoSettings& settings) { provider() = std::make_unique<SsoProvider>(settings); }

std::string startSsoIfConfigured(const SsoOptions& options, const std::string& publicUrl) {
  if (options.issuer.empty()) return "";
  SsoSettings settings;
  std::string error = prepareSsoSettings(options, publicUrl, settings);
  if (error.empty()) startSso(settings);
  return error;
}

void stopSso() { provider().reset(); }

HttpResponse ssoDeskSignIn(const HttpRequest& request, std::string_view) {
  return startSignIn(request, SignInPurpose::desk, "sso/desk");
}

HttpResponse ssoHostSignIn(const HttpRequest& request, std::string_view) {
  return startSignIn(request, SignInPurpose::host, "sso/me");
}

HttpResponse ssoCallback(const HttpRequest& request, std::string_view) {
  SsoProvider* current = provider().get();
  if (!current) return notConfigured();
  // A HEAD (a link checker) must not use the sign-in up.
  if (request.method != "GET") return ssoPage(405, "Not allowed", "Open this address with GET.");
  QueryMap query = parseRequestTarget(request.target).query;
  // Every answer below clears the cookie; the provider's code itself is good for one exchange only.
  std::optional<PendingSignIn> signIn =
      openSignIn(cookieValue(request, signInCookieNameOf(request)), signInSealKey(), currentTimeMs());
  if (!signIn) {
    return refuseCallback(request, "no sign-in under way in this browser, or it was used or expired", 400,
                          "Sign-in expired", "This sign-in has expired or was already used. Please start again.");
  }
  if (!sameText(queryValue(query, "state").value_or(""), signIn->state)) {
    return refuseCallback(request, "the state does not match", 400, "Sign-in failed",
                          "This answer does not belong to the sign-in this browser started. Please start again.");
  }
  std::optional<std::string> error = queryValue(query, "error");
  if (error) {
    return refuseCallback(request, "the provider answered " + error->substr(0, 100), 403, "Not signed in",
                          "The sign-in service did not sign you in (" + error->substr(0, 100) + ").");
  }
  std::string code = queryValue(query, "code").value_or("");
  if (code.empty() || code.size() > 2048) {
    return refuseCallback(request, "no code", 400, "Sign-in failed", "The sign-in service sent no code. Please start again.");
  }
  return finishSignIn(request, *current, *signIn, code);
}

HttpResponse ssoLoginOption(const HttpRequest&, std::string_view) {
  SsoProvider* current = provider().get();
  HttpResponse answer;
  answer.status = current ? 200 : 404;
  answer.contentType = "application/json";
  answer.body = current ? json{{"displayName", current->settings().displayName}}.dump() : "{}";
  answer.headers.emplace_back("Cache-Control", "no-store");
  return answer;
}
