#include "sso/host_sign_in.h"

#include "rules/session_cookies.h"
#include "log/service_log.h"
#include "sso/sso_answers.h"
#include "store/audit.h"
#include "store/host_sessions.h"

using nlohmann::json;

namespace {

struct ActiveMember {
  std::int64_t id = 0;
  std::string name;
};

// The one active member with that email (compared without case); notFound
// for none, conflict when two share it.
Outcome findMemberByEmail(const std::string& email, ActiveMember& member) {
  ReadSession session;
  Statement query = session.prepare(
      "SELECT id, display_name FROM staff WHERE removed_at IS NULL AND email = ?1 COLLATE NOCASE LIMIT 2");
  query.bind(1, email);
  int found = 0;
  int result;
  while ((result = query.step()) == SQLITE_ROW) {
    member = ActiveMember{query.integer(0), query.text(1)};
    ++found;
  }
  if (result != SQLITE_DONE) return session.fail("read of a member by email");
  return found == 0 ? Outcome::notFound : found == 1 ? Outcome::ok : Outcome::conflict;
}

HttpResponse refuse(const HttpRequest& request, const std::string& who, const std::string& reason, int status,
                    const std::string& text) {
  recordAudit(who.substr(0, 200), request.clientAddress, "host-sign-in-failed", "single sign-on: " + reason);
  logEvent("single sign-on: host sign-in refused for " + who.substr(0, 200) + " from " + request.clientAddress + ": " +
           reason);
  HttpResponse answer = ssoPage(status, "Not signed in", text);
  answer.headers.emplace_back("Set-Cookie", signInCookie(request, "", true));
  return answer;
}

}  // namespace

HttpResponse signInToHostPage(const HttpRequest& request, const json& claims, const SsoSettings& settings) {
  auto claim = claims.find(settings.hostClaim);
  std::string email = claim != claims.end() && claim->is_string() ? claim->get<std::string>() : "";
  if (email.empty()) {
    return refuse(request, "(single sign-on)", "no " + settings.hostClaim + " claim", 403,
                  "The sign-in service did not say which email address is yours.");
  }
  // An address the provider itself marks unverified proves nothing.
  auto verified = claims.find("email_verified");
  if (settings.hostClaim == "email" && verified != claims.end() && verified->is_boolean() && !verified->get<bool>()) {
    return refuse(request, email, "the email is not verified", 403,
                  "The sign-in service has not verified your email address.");
  }
  ActiveMember member;
  Outcome found = findMemberByEmail(email, member);
  if (found == Outcome::notFound) {
    return refuse(request, email, "no active member has the email", 403,
                  "No member of staff has the email address " + email + ", so there is no page of yours to open.");
  }
  if (found == Outcome::conflict) {
    return refuse(request, email, "two members share the email", 403,
                  "More than one member of staff has the email address " + email + ". Please ask the front desk.");
  }
  std::string token;
  if (found == Outcome::ok) found = startHostSession(member.id, "sso", token);
  if (found != Outcome::ok) return ssoPage(503, "Please try again", "The service could not save the sign-in.");
  recordAudit(member.name, request.clientAddress, "host-sign-in", "method sso");
  logEvent("host sign-in: " + member.name + " (sso) from " + request.clientAddress);
  HttpResponse answer = ssoRedirect(settings.publicUrl + "me/");
  // Lax like the page's own sign-in: the provider's redirect is a navigation from its site.
  answer.headers.emplace_back("Set-Cookie", std::string(request.overTls ? tlsHostCookieName : hostCookieName) + "=" + token +
                                                "; Max-Age=" + std::to_string(hostSessionIdleLimitMs / 1000) +
                                                "; HttpOnly; SameSite=Lax; Path=/" + (request.overTls ? "; Secure" : ""));
  answer.headers.emplace_back("Set-Cookie", signInCookie(request, "", true));
  return answer;
}
