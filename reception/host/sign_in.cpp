// Hosts signing in: with the directory password (a simple bind as the
// member's own entry) or a single-use link by mail; sessions in cookies.

#include <chrono>
#include <thread>

#include "answer/answer_table.h"
#include "alerts/mail_message.h"
#include "alerts/mail_queue.h"
#include "answer/desk_call.h"
#include "directory/ldap_reader.h"
#include "http/client_network.h"
#include "rules/login_throttle.h"
#include "rules/validation.h"
#include "host/host_api.h"
#include "log/service_log.h"
#include "store/audit.h"
#include "store/clock.h"
#include "text/text.h"

using nlohmann::json;

namespace {

constexpr char wrongLogin[] = "Wrong login or password.";
constexpr char linkSent[] =
    "If a member of staff has this email address, a sign-in link is on its way to it. It is valid for 15 minutes.";
constexpr char directoryDown[] = "The password cannot be checked now: the directory cannot be reached, try again or use a "
                                 "sign-in link.";
constexpr int directoryRetryAfterSeconds = 30;
constexpr std::size_t maxLoginBytes = 256;
constexpr std::size_t maxQueuedMails = 64;
// Login names of hosts are throttled apart from the desk's account names.
constexpr char throttlePrefix[] = "host:";

// Lax: the link in a mail opens the page with the cookie already there.
std::string sessionCookie(const HttpRequest& request, const std::string& token) {
  return sessionCookieValue(request, hostCookieNameOf(request), token, "Lax", hostSessionIdleLimitMs / 1000);
}

// The audit entry of a sign-in, written with the session it starts.
AuditedChange auditedSignIn(const HttpRequest& request, const HostMember& member, const char* method) {
  return AuditedChange([&request, &member, method] {
    return AuditEntry{0, 0, member.displayName, request.clientAddress, "host-sign-in", std::string("method ") + method};
  });
}

HttpResponse signedIn(const HttpRequest& request, const HostMember& member, const std::string& token,
                      const std::string& method) {
  logEvent("host sign-in: " + member.displayName + " (" + method + ") from " + request.clientAddress);
  HttpResponse answer = jsonAnswer(200, {{"id", member.id}, {"name", member.displayName}});
  answer.headers.emplace_back("Set-Cookie", sessionCookie(request, token));
  return answer;
}

std::optional<HttpResponse> readHostLogin(const HttpRequest& request, std::string& login, std::string& password,
                                          LoginJudgement& judgement) {
  json body = json::parse(request.body, nullptr, false);
  if (!body.is_object() || !exactStringMember(body, "login", login) || !exactStringMember(body, "password", password) ||
      login.size() > maxLoginBytes || password.size() > maxPasswordBytes) {
    return errorAnswer(400, "Send {\"login\": ..., \"password\": ...}.");
  }
  // Per IPv6 /64, as the desk's: one host holds a whole /64 to rotate through.
  judgement = judgeLoginAttempt(throttlePrefix + login, clientNetwork(request.clientAddress), currentTimeMs());
  if (judgement.retryAfterMs <= 0) return std::nullopt;
  std::int64_t minutes = (judgement.retryAfterMs + 59999) / 60000;
  HttpResponse answer = errorAnswer(429, "Too many wrong passwords from this computer. Please wait " +
                                             std::to_string(minutes) + (minutes == 1 ? " minute" : " minutes") +
                                             " before trying again.");
  answer.headers.emplace_back("Retry-After", std::to_string((judgement.retryAfterMs + 999) / 1000));
  return answer;
}

// The mails of sign-in links, sent one after another on their own thread.
// Kept in memory, not in the outbox as invitations' mails are: the message
// holds the live link, which the database never stores (only its hash); a
// link lost with the process is asked for again.
MailQueue& mailer() {
  static MailQueue queue("a sign-in link", maxQueuedMails);
  return queue;
}

std::string signInMail(const HostSettings& settings, const HostMember& member, const std::string& link) {
  return plainTextMail({settings.smtp.from, member.email, "Your sign-in link for your reception page", newMessageId(),
                        currentTimeMs()},
                       "Open this link to sign in to your page at reception, where you see your guests as they "
                       "arrive:\n\n" + link + "\n\n"
                       "The link works once, within 15 minutes. If you did not ask for it, ignore this mail.\n");
}

// The directory down is not a wrong password: say so, and log which
// directory and why (once a minute, not once per host trying).
HttpResponse directoryUnreachable(const LdapSettings& directory, const std::string& why) {
  logEventOncePerMinute("host sign-in: directory unreachable",
                        "host sign-in: the directory " + directory.url + " cannot be reached: " + why, currentTimeMs());
  HttpResponse answer = errorAnswer(503, directoryDown);
  answer.headers.emplace_back("Retry-After", std::to_string(directoryRetryAfterSeconds));
  return answer;
}

HttpResponse linkNotValid() {
  return htmlPage(410, "Link not valid",
                  "<p>This sign-in link has been used or is older than 15 minutes. "
                  "<a href=\"/me/\">Ask for a new one</a>.</p>\n");
}

}  // namespace

std::string hostSessionToken(const HttpRequest& request) { return sentCookie(request, hostCookieNameOf(request)).value; }

std::size_t hostCookieCount(const HttpRequest& request) { return sentCookie(request, hostCookieNameOf(request)).count; }

std::optional<HttpResponse> hostLoginRefusal(const HttpRequest& request) {
  std::string login;
  std::string password;
  LoginJudgement judgement;
  return readHostLogin(request, login, password, judgement);
}

HttpResponse hostLogin(const HttpRequest& request, const HostSettings& settings) {
  std::string login;
  std::string password;
  LoginJudgement judgement;
  if (std::optional<HttpResponse> refused = readHostLogin(request, login, password, judgement)) return *refused;
  if (judgement.slowed && request.onWorker) std::this_thread::sleep_for(std::chrono::milliseconds(slowedAttemptMs));
  HostMember member;
  std::string dn;
  Outcome found = findDirectoryLogin(login, member, dn);
  if (found != Outcome::ok && found != Outcome::notFound) return storeFailure(found, Failure::readFailed);
  PasswordCheck checked;
  if (found == Outcome::ok) checked = checkDirectoryPassword(settings.directory, dn, password);
  if (checked.verdict == PasswordCheck::unreachable) return directoryUnreachable(settings.directory, checked.why);
  // An unknown login and a wrong password answer alike.
  if (checked.verdict != PasswordCheck::accepted) {
    recordLoginFailure(throttlePrefix + login, clientNetwork(request.clientAddress), currentTimeMs());
    recordAudit(login.substr(0, maxAccountNameBytes), request.clientAddress, "host-sign-in-failed", "method password");
    return errorAnswer(401, wrongLogin);
  }
  std::string token;
  AuditedChange audited = auditedSignIn(request, member, "password");
  Outcome started = startHostSession(member.id, "password", token);
  if (started != Outcome::ok) return storeFailure(started);
  return signedIn(request, member, token, "password");
}

HttpResponse requestSignInLink(const HttpRequest& request, const HostSettings& settings) {
  json body = json::parse(request.body, nullptr, false);
  std::string email;
  if (!body.is_object() || !exactStringMember(body, "email", email) || email.size() > maxLoginBytes) {
    return errorAnswer(400, "Send {\"email\": ...}.");
  }
  HostMember member;
  std::string token;
  AuditedChange audited([&request, &member] {
    return AuditEntry{0, 0, member.displayName, request.clientAddress, "host-sign-in-link", "mailed"};
  });
  Outcome made = settings.smtp.url.empty() ? Outcome::notFound : newSignInLink(std::string(trimmed(email)), member, token);
  if (made == Outcome::ok) {
    mailer().configure(settings.smtp);
    mailer().send(member.email, signInMail(settings, member, settings.publicUrl + "me/sign-in/" + token));
  } else if (made == Outcome::conflict) {
    logEvent("no sign-in link mailed to " + member.displayName + ": " + std::to_string(maxLinksPerMember) +
             " were sent within 15 minutes");
  } else if (made != Outcome::notFound) {
    return storeFailure(made);
  }
  return jsonAnswer(202, {{"message", linkSent}});
}

HttpResponse signInPage(const HttpRequest& request, std::string_view token) {
  std::string text(token);
  HostMember member;
  if (request.method != "POST") {
    Outcome found = findSignInLink(text, member);
    if (found == Outcome::notFound) return linkNotValid();
    if (found != Outcome::ok) return htmlPage(500, "Please try again", "<p>The service could not read this link.</p>\n");
    return htmlPage(200, "Sign in",
                    "<p>Sign in to the reception page of " + htmlEscaped(member.displayName) +
                        ".</p>\n<form method=\"post\"><button type=\"submit\">Sign in</button></form>\n");
  }
  std::string session;
  AuditedChange audited = auditedSignIn(request, member, "link");
  Outcome used = signInWithLink(text, member, session);
  if (used == Outcome::notFound) return linkNotValid();
  if (used != Outcome::ok) return htmlPage(500, "Please try again", "<p>The service could not save this.</p>\n");
  HttpResponse answer = signedIn(request, member, session, "link");
  answer.status = 303;
  answer.contentType.clear();
  answer.body.clear();
  answer.headers.emplace_back("Location", "/me/");
  return answer;
}

HttpResponse hostLogout(const HostCall& call) {
  AuditedChange audited([&call] {
    return AuditEntry{0, 0, call.member.displayName, call.request.clientAddress, "host-sign-out", ""};
  });
  Outcome ended = endHostSession(hostSessionToken(call.request));
  if (ended != Outcome::ok) return storeFailure(ended);
  HttpResponse answer = jsonAnswer(200, {{"signedOut", true}});
  answer.headers.emplace_back("Set-Cookie", sessionCookieValue(call.request, hostCookieNameOf(call.request), "", "Lax", 0));
  return answer;
}

HttpResponse hostSession(const HostCall& call) {
  return jsonAnswer(200, {{"id", call.member.id}, {"name", call.member.displayName}});
}

void stopHostMailer() { mailer().stop(); }
