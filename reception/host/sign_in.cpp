// Hosts signing in: with the directory password (a simple bind as the
// member's own entry) or a single-use link by mail; sessions in cookies.
#include <ldap.h>
#include <sodium.h>

#include <ctime>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "answer/answer_table.h"
#include "answer/desk_call.h"
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
constexpr std::size_t maxLoginBytes = 256;
constexpr std::size_t maxQueuedMails = 64;
// Login names of hosts are throttled apart from the desk's account names.
constexpr char throttlePrefix[] = "host:";

std::string cookieAttributes(const HttpRequest& request) {
  // Lax: the link in a mail opens the page with the cookie already there.
  return std::string("; HttpOnly; SameSite=Lax; Path=/") + (request.overTls ? "; Secure" : "");
}

const char* cookieNameOf(const HttpRequest& request) { return request.overTls ? tlsHostCookieName : hostCookieName; }

template <typename Found>
void forEachCookie(const std::string& header, std::string_view name, Found found) {
  std::string_view cookies = header;
  while (!cookies.empty()) {
    std::size_t end = cookies.find(';');
    std::string_view pair = trimmed(cookies.substr(0, end));
    std::size_t equals = pair.find('=');
    if (equals != std::string_view::npos && pair.substr(0, equals) == name) found(pair.substr(equals + 1));
    cookies = end == std::string_view::npos ? std::string_view() : cookies.substr(end + 1);
  }
}

std::string sessionCookie(const HttpRequest& request, const std::string& token) {
  return std::string(cookieNameOf(request)) + "=" + token + "; Max-Age=" +
         std::to_string(hostSessionIdleLimitMs / 1000) + cookieAttributes(request);
}

HttpResponse signedIn(const HttpRequest& request, const HostMember& member, const std::string& token,
                      const std::string& method) {
  recordAudit(member.displayName, request.clientAddress, "host-sign-in", "method " + method);
  logEvent("host sign-in: " + member.displayName + " (" + method + ") from " + request.clientAddress);
  HttpResponse answer = jsonAnswer(200, {{"id", member.id}, {"name", member.displayName}});
  answer.headers.emplace_back("Set-Cookie", sessionCookie(request, token));
  return answer;
}

// The password is checked by the directory itself: a simple bind as the
// member's DN on the configured connection. An empty password is refused
// first, as LDAP takes it for an unauthenticated bind that "succeeds".
bool directoryAccepts(const LdapSettings& settings, const std::string& dn, const std::string& password) {
  if (settings.url.empty() || dn.empty() || password.empty()) return false;
  LDAP* handle = nullptr;
  if (ldap_initialize(&handle, settings.url.c_str()) != LDAP_SUCCESS || handle == nullptr) return false;
  int version = LDAP_VERSION3;
  timeval timeout{std::max(settings.timeoutSeconds, 1), 0};
  int demand = LDAP_OPT_X_TLS_DEMAND;
  int newContext = 0;
  ldap_set_option(handle, LDAP_OPT_PROTOCOL_VERSION, &version);
  ldap_set_option(handle, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
  ldap_set_option(handle, LDAP_OPT_NETWORK_TIMEOUT, &timeout);
  ldap_set_option(handle, LDAP_OPT_TIMEOUT, &timeout);
  ldap_set_option(handle, LDAP_OPT_X_TLS_REQUIRE_CERT, &demand);
  if (!settings.caFile.empty()) ldap_set_option(handle, LDAP_OPT_X_TLS_CACERTFILE, settings.caFile.c_str());
  ldap_set_option(handle, LDAP_OPT_X_TLS_NEWCTX, &newContext);
  bool ok = !settings.startTls || ldap_start_tls_s(handle, nullptr, nullptr) == LDAP_SUCCESS;
  if (ok) {
    berval secret{static_cast<ber_len_t>(password.size()), const_cast<char*>(password.data())};
    ok = ldap_sasl_bind_s(handle, dn.c_str(), LDAP_SASL_SIMPLE, &secret, nullptr, nullptr, nullptr) == LDAP_SUCCESS;
  }
  ldap_unbind_ext_s(handle, nullptr, nullptr);
  return ok;
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
struct Mailer {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::pair<std::string, std::string>> queue;  // to, message
  SmtpSettings smtp;
  std::thread thread;
  bool stopping = false;

  void run() {
    std::unique_lock<std::mutex> lock(mutex);
    while (true) {
      wake.wait(lock, [this] { return stopping || !queue.empty(); });
      if (queue.empty()) return;
      auto [to, message] = std::move(queue.front());
      queue.pop_front();
      SmtpSettings settings = smtp;
      lock.unlock();
      SendOutcome sent = sendMail(settings, to, message);
      if (!sent.delivered) logEvent("a sign-in link could not be mailed: " + sent.error);
      lock.lock();
    }
  }
};

Mailer& mailer() {
  static Mailer instance;
  return instance;
}

void queueMail(const SmtpSettings& smtp, const std::string& to, std::string message) {
  Mailer& m = mailer();
  std::lock_guard<std::mutex> lock(m.mutex);
  if (m.queue.size() >= maxQueuedMails) {
    logEvent("a sign-in link was not mailed: too many are waiting to be sent");
    return;
  }
  m.smtp = smtp;
  m.stopping = false;
  if (!m.thread.joinable()) m.thread = std::thread([&m] { m.run(); });
  m.queue.emplace_back(to, std::move(message));
  m.wake.notify_one();
}

// RFC 5322 dates are in English whatever the locale: the C locale's names.
std::string mailDate(std::int64_t ms) {
  std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm local{};
  char text[64] = {};
  if (localtime_r(&seconds, &local) == nullptr || std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S %z", &local) == 0) {
    return "";
  }
  return text;
}

std::string signInMail(const HostSettings& settings, const HostMember& member, const std::string& link) {
  std::int64_t now = currentTimeMs();
  unsigned char random[16];
  randombytes_buf(random, sizeof random);
  std::string id;
  for (unsigned char byte : random) id += "0123456789abcdef"[byte >> 4], id += "0123456789abcdef"[byte & 15];
  std::string message;
  message += "Date: " + mailDate(now) + "\r\n";
  message += "From: " + settings.smtp.from + "\r\n";
  message += "To: " + member.email + "\r\n";
  message += "Subject: Your sign-in link for your reception page\r\n";
  message += "Message-ID: <" + id + "@vestibra>\r\n";
  message += "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\nContent-Transfer-Encoding: 8bit\r\n";
  message += "Auto-Submitted: auto-generated\r\n\r\n";
  message += "Open this link to sign in to your page at reception, where you see your guests as they arrive:\r\n\r\n";
  message += link + "\r\n\r\n";
  message += "The link works once, within 15 minutes. If you did not ask for it, ignore this mail.\r\n";
  return message;
}

HttpResponse linkPage(int status, const std::string& title, const std::string& content) {
  HttpResponse response;
  response.status = status;
  response.contentType = "text/html; charset=utf-8";
  response.body = "<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                  "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"><title>" +
                  htmlEscaped(title) + "</title></head>\n<body>\n<h1>" + htmlEscaped(title) + "</h1>\n" + content + "</body></html>\n";
  // The token is in the address: it must not leak to other sites or caches.
  response.headers = {{"Content-Security-Policy", "default-src 'none'; form-action 'self'; frame-ancestors 'none'"},
                      {"Referrer-Policy", "no-referrer"},
                      {"Cache-Control", "no-store"}};
  return response;
}

HttpResponse linkNotValid() {
  return linkPage(410, "Link not valid",
                  "<p>This sign-in link has been used or is older than 15 minutes. "
                  "<a href=\"/me/\">Ask for a new one</a>.</p>\n");
}

}  // namespace

std::string hostSessionToken(const HttpRequest& request) {
  std::string token;
  bool first = true;
  forEachCookie(request.cookie, cookieNameOf(request), [&](std::string_view value) {
    if (first) token = std::string(value);
    first = false;
  });
  return token;
}

std::size_t hostCookieCount(const HttpRequest& request) {
  std::size_t count = 0;
  forEachCookie(request.cookie, cookieNameOf(request), [&](std::string_view) { ++count; });
  return count;
}

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
  // An unknown login and a wrong password answer alike.
  if (found == Outcome::notFound || !directoryAccepts(settings.directory, dn, password)) {
    recordLoginFailure(throttlePrefix + login, clientNetwork(request.clientAddress), currentTimeMs());
    recordAudit(login.substr(0, maxAccountNameBytes), request.clientAddress, "host-sign-in-failed", "method password");
    return errorAnswer(401, wrongLogin);
  }
  std::string token;
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
  Outcome made = settings.smtp.url.empty() ? Outcome::notFound : newSignInLink(std::string(trimmed(email)), member, token);
  if (made == Outcome::ok) {
    queueMail(settings.smtp, member.email, signInMail(settings, member, settings.publicUrl + "me/sign-in/" + token));
    recordAudit(member.displayName, request.clientAddress, "host-sign-in-link", "mailed");
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
    if (found != Outcome::ok) return linkPage(500, "Please try again", "<p>The service could not read this link.</p>\n");
    return linkPage(200, "Sign in",
                    "<p>Sign in to the reception page of " + htmlEscaped(member.displayName) +
                        ".</p>\n<form method=\"post\"><button type=\"submit\">Sign in</button></form>\n");
  }
  std::string session;
  Outcome used = signInWithLink(text, member, session);
  if (used == Outcome::notFound) return linkNotValid();
  if (used != Outcome::ok) return linkPage(500, "Please try again", "<p>The service could not save this.</p>\n");
  HttpResponse answer = signedIn(request, member, session, "link");
  answer.status = 303;
  answer.contentType.clear();
  answer.body.clear();
  answer.headers.emplace_back("Location", "/me/");
  return answer;
}

HttpResponse hostLogout(const HostCall& call) {
  Outcome ended = endHostSession(hostSessionToken(call.request));
  if (ended != Outcome::ok) return storeFailure(ended);
  recordAudit(call.member.displayName, call.request.clientAddress, "host-sign-out", "");
  HttpResponse answer = jsonAnswer(200, {{"signedOut", true}});
  answer.headers.emplace_back("Set-Cookie", std::string(cookieNameOf(call.request)) + "=; Max-Age=0" +
                                                cookieAttributes(call.request));
  return answer;
}

HttpResponse hostSession(const HostCall& call) {
  return jsonAnswer(200, {{"id", call.member.id}, {"name", call.member.displayName}});
}

void stopHostMailer() {
  Mailer& m = mailer();
  {
    std::lock_guard<std::mutex> lock(m.mutex);
    m.stopping = true;
  }
  m.wake.notify_all();
  if (m.thread.joinable()) m.thread.join();
}
