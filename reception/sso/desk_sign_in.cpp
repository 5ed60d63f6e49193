#include "sso/desk_sign_in.h"

#include "rules/session_cookies.h"
#include "store/accounts.h"
#include "log/service_log.h"
#include "metrics/metrics.h"
#include "sso/sso_accounts.h"
#include "sso/sso_answers.h"
#include "store/audit.h"

using nlohmann::json;

namespace {

// A groups claim is a list of names; some providers send a single one as a string.
bool inGroup(const json& claims, const std::string& claim, const std::string& group) {
  if (group.empty()) return false;
  auto groups = claims.find(claim);
  if (groups == claims.end()) return false;
  if (groups->is_string()) return groups->get<std::string>() == group;
  if (!groups->is_array()) return false;
  for (const json& entry : *groups) {
    if (entry.is_string() && entry.get<std::string>() == group) return true;
  }
  return false;
}

std::string stringClaim(const json& claims, const char* name) {
  auto found = claims.find(name);
  return found != claims.end() && found->is_string() ? found->get<std::string>() : "";
}

HttpResponse refuse(const HttpRequest& request, const std::string& who, const std::string& reason, int status,
                    const std::string& title, const std::string& text) {
  recordAudit(who.substr(0, maxAccountNameBytes), request.clientAddress, "login-failed", "single sign-on: " + reason);
  logEvent("single sign-on: desk login refused for " + who.substr(0, maxAccountNameBytes) + " from " +
           request.clientAddress + ": " + reason);
  HttpResponse answer = ssoPage(status, title, text);
  answer.headers.emplace_back("Set-Cookie", signInCookie(request, "", true));
  return answer;
}

}  // namespace

std::string deskRoleOf(const json& claims, const SsoSettings& settings, std::string& refusal) {
  if (inGroup(claims, settings.groupsClaim, settings.adminGroup)) return "admin";
  if (inGroup(claims, settings.groupsClaim, settings.deskGroup)) return "desk";
  if (inGroup(claims, settings.groupsClaim, settings.kioskGroup)) return "kiosk";
  refusal = "Your account at " + settings.displayName + " is not in a group that may use the front desk. "
            "Ask an administrator to add you to the desk's group.";
  return "";
}

std::string deskNameOf(const json& claims) {
  for (const char* claim : {"preferred_username", "email"}) {
    std::string name = stringClaim(claims, claim);
    if (!name.empty() && checkAccountName(name).empty()) return name;
  }
  return "";
}

HttpResponse signInToDesk(const HttpRequest& request, const json& claims, const SsoSettings& settings) {
  std::string subject = stringClaim(claims, "sub");
  std::string name = deskNameOf(claims);
  std::string who = name.empty() ? "(single sign-on " + subject.substr(0, 40) + ")" : name;
  std::string refusal;
  std::string role = deskRoleOf(claims, settings, refusal);
  if (role.empty()) {
    // Sessions from before the person left the group end now.
    endSsoAccountSessions(settings.issuer, subject);
    return refuse(request, who, "not in the desk's groups", 403, "Not allowed at the front desk", refusal);
  }
  if (name.empty()) {
    return refuse(request, who, "no usable name", 403, "No usable name",
                  "The provider sent neither a user name nor an email address that can name a desk account.");
  }
  DeskAccount account;
  Outcome signedIn = signInSsoAccount(settings.issuer, subject, name, role, account);
  if (signedIn == Outcome::conflict) {
    return refuse(request, who, "another account has the name", 409, "Name already taken",
                  "Another desk account is already named " + name +
                      ". An administrator can remove it, then sign in again.");
  }
  std::string token;
  if (signedIn == Outcome::ok) signedIn = startSession(account.id, token);
  if (signedIn != Outcome::ok) return ssoPage(503, "Please try again", "The service could not save the sign-in.");
  countEvent(Counter::loginOk);
  recordAudit(account.name, request.clientAddress, "login", "single sign-on as " + account.role);
  logEvent("login: account " + account.name + " by single sign-on from " + request.clientAddress);
  // A kiosk's tablet goes to its own page, as after a password login.
  HttpResponse answer = ssoRedirect(settings.publicUrl + (account.role == "kiosk" ? "kiosk/" : ""));
  answer.headers.emplace_back("Set-Cookie", std::string(sessionCookieNameOf(request)) + "=" + token +
                                                "; HttpOnly; SameSite=Strict; Path=/" + (request.overTls ? "; Secure" : ""));
  answer.headers.emplace_back("Set-Cookie", signInCookie(request, "", true));
  return answer;
}
