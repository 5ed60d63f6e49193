#include "service.h"

#include <algorithm>
#include <iterator>
#include <memory>
#include <optional>

#include "alerts/reply_page.h"
#include "answer/answer_table.h"
#include "desk/contacts.h"
#include "desk/desk.h"
#include "desk/gauges.h"
#include "desk/host_pages.h"
#include "desk/known_addresses.h"
#include "directory/directory_desk_api.h"
#include "downloads/notifier_installer.h"
#include "http/query.h"
#include "log/service_log.h"
#include "metrics/metrics.h"
#include "store/accounts.h"
#include "sso/sso_pages.h"
#include "store/clock.h"
#include "store/health.h"
#include "store/installation_secret.h"
#include "text/text.h"
#include "visits/erase_api.h"
#include "visits/invitation_api.h"
#include "visits/kiosk_api.h"
#include "visits/visit_api.h"

namespace {

// The limit for a route that takes an upload (a staff CSV of some thousand names).
constexpr std::size_t maxUploadBodyBytes = std::size_t{2} * 1024 * 1024;

// What configureService was given; made on first use, not at static initialisation.
ServiceSettings& currentSettings() {
  static ServiceSettings settings;
  return settings;
}

// The desk accounts' and the hosts' write buckets; made on first use, not at static initialisation.
WriteLimit& deskWriteLimit() {
  static WriteLimit limit(deskWrites, defaultDeskWritesPerSecond);
  return limit;
}
WriteLimit& hostWriteLimit() {
  static WriteLimit limit(hostWrites, defaultHostWritesPerSecond);
  return limit;
}

// Who may use a route, and so who reads its answers (its audience).
enum class Access {
  notifierKey,  // notifiers, with the key (shared or personal): plain answers, empty on failure
  login,        // anyone: the desk's login, which checks its own body
  desk,         // a desk session
  admin,        // a desk session of an admin account
  hostLogin,    // anyone: a host signing in to their page (password or mailed link)
  host,         // a host's session on their own page
  page,         // anyone with a reply link: HTML pages
  signInLink,   // anyone with a mailed sign-in link: its page, whose button only this site may press
  asset,        // anyone: the desk's and the host page's files, the notifiers' installer
  kiosk,        // a kiosk account's session (the self check-in tablet), which reaches nothing else
  health,       // anyone, by any host name: a load balancer's health check, which tells nothing private
};

// What body a route takes: a small JSON one, or an upload (read only once
// the session and role are known, a few at a time).
enum class Body { small, upload };

// One row per route, with every fact of it. "#" in a pattern stands for a
// decimal id, "*" for the rest of the path; a GET route answers HEAD too.
// A row without a method stands for every other request under its path:
// it has no handler, and is answered 404 or 405. Each row has the one
// handler of its kind.
struct Route {
  const char* method;
  std::string_view path;
  Access access;
  Lane lane;
  Body body;
  HttpResponse (*desk)(const DeskCall&);
  HttpResponse (*notifier)(const NotifierCall&);
  // A request anyone may make (logging in, a reply link's page); rest is the path after "*".
  HttpResponse (*open)(const HttpRequest&, std::string_view rest) = nullptr;
  HttpResponse (*host)(const HostCall&) = nullptr;
  // The checks of a login's body, made before it waits for the hasher or the directory.
  std::optional<HttpResponse> (*bodyCheck)(const HttpRequest&) = nullptr;
};

constexpr Body body = Body::small;

// The login checks its own body, with no session yet.
HttpResponse openLogin(const HttpRequest& request, std::string_view) { return login(request); }
HttpResponse openHostLogin(const HttpRequest& request, std::string_view) {
  return hostLogin(request, currentSettings().host);
}
HttpResponse openSignInLink(const HttpRequest& request, std::string_view) {
  return requestSignInLink(request, currentSettings().host);
}
HttpResponse openHealth(const HttpRequest&, std::string_view) { return receptionHealthAnswer(); }
HttpResponse movedToMyPage(const HttpRequest&, std::string_view) {
  HttpResponse moved;
  moved.status = 308;
  moved.contentType = "text/plain; charset=utf-8";
  moved.body = "The host's page is at /me/.\n";
  moved.headers.emplace_back("Location", "/me/");
  return moved;
}

const Route routes[] = {
    {"GET", "/api/reception/listUsers", Access::notifierKey, Lane::server, body, nullptr, listUsers},
    {"GET", "/api/reception/getNotification", Access::notifierKey, Lane::server, body, nullptr, getNotification},
    {"GET", "/api/reception/archiveNotification", Access::notifierKey, Lane::writer, body, nullptr, archiveNotification},
    {"POST", "/api/desk/login", Access::login, Lane::login, body, nullptr, nullptr, openLogin, nullptr, loginRefusal},
    {"GET", "/api/desk/state", Access::desk, Lane::server, body, state, nullptr},
    {"GET", "/api/desk/session", Access::desk, Lane::server, body, whoAmI, nullptr},
    {"POST", "/api/desk/logout", Access::desk, Lane::writer, body, logout, nullptr},
    {"POST", "/api/desk/notifications", Access::desk, Lane::writer, body, announceGuest, nullptr},
    {"POST", "/api/desk/notifications/#/archive", Access::desk, Lane::writer, body, withdrawGuest, nullptr},
    {"POST", "/api/desk/notifications/#/reassign", Access::desk, Lane::writer, body, reassignWaitingGuest, nullptr},
    {"POST", "/api/desk/staff", Access::admin, Lane::writer, body, addStaffMember, nullptr},
    {"DELETE", "/api/desk/staff/#", Access::admin, Lane::writer, body, removeStaffMember, nullptr},
    {"PUT", "/api/desk/staff/#", Access::admin, Lane::writer, body, updateStaffContact, nullptr},
    {"POST", "/api/desk/staff/#/sign-out", Access::admin, Lane::writer, body, signOutEverywhere, nullptr},
    {"GET", "/api/desk/staff/#/notifier-key", Access::admin, Lane::server, body, memberNotifierKey, nullptr},
    {"POST", "/api/desk/staff/#/notifier-key/new", Access::admin, Lane::writer, body, newMemberNotifierKey, nullptr},
    {"POST", "/api/desk/staff/import", Access::admin, Lane::writer, Body::upload, importStaffCsv, nullptr},
    {"GET", "/api/desk/staff.csv", Access::admin, Lane::server, body, exportStaffCsv, nullptr},
    {"GET", "/api/desk/accounts", Access::admin, Lane::server, body, accountList, nullptr},
    {"POST", "/api/desk/accounts", Access::admin, Lane::login, body, accountAdd, nullptr},
    {"DELETE", "/api/desk/accounts/#", Access::admin, Lane::writer, body, accountRemove, nullptr},
    {"POST", "/api/desk/accounts/#/password", Access::admin, Lane::login, body, accountPassword, nullptr},
    {"GET", "/api/desk/audit", Access::admin, Lane::server, body, auditLog, nullptr},
    {"GET", "/api/desk/visitors", Access::admin, Lane::server, body, visitorList, nullptr},
    {"GET", "/api/desk/visitors.csv", Access::admin, Lane::server, body, visitorListCsv, nullptr},
    {"POST", "/api/desk/visitors/erase", Access::admin, Lane::writer, body, eraseVisitorAnswer, nullptr},
    {"GET", "/api/desk/on-site", Access::desk, Lane::server, body, onSiteList, nullptr},
    {"POST", "/api/desk/visits/#/sign-out", Access::desk, Lane::writer, body, signOutAtDesk, nullptr},
    {"POST", "/api/desk/invitations", Access::desk, Lane::writer, body, deskInvite, nullptr},
    {"GET", "/api/desk/invitations", Access::desk, Lane::server, body, deskInvitations, nullptr},
    {"POST", "/api/desk/invitations/#/check-in", Access::desk, Lane::writer, body, deskCheckInInvitation, nullptr},
    {"GET", "/api/kiosk/house-rules", Access::kiosk, Lane::server, body, kioskHouseRules, nullptr},
    {"GET", "/api/kiosk/hosts", Access::kiosk, Lane::server, body, kioskHosts, nullptr},
    {"POST", "/api/kiosk/check-in", Access::kiosk, Lane::writer, body, kioskCheckIn, nullptr},
    {"GET", "/api/kiosk/on-site", Access::kiosk, Lane::server, body, kioskOnSite, nullptr},
    {"POST", "/api/kiosk/sign-out", Access::kiosk, Lane::writer, body, kioskSignOut, nullptr},
    {"GET", "/api/desk/notifier-setup", Access::admin, Lane::server, body, notifierSetup, nullptr},
    {"GET", "/api/desk/directory-sync", Access::admin, Lane::server, body, directorySyncState, nullptr},
    {"POST", "/api/desk/directory-sync", Access::admin, Lane::writer, body, directorySyncRequest, nullptr},
    {"GET", "/ack/*", Access::page, Lane::server, body, nullptr, nullptr, answerReplyPage},
    {"POST", "/ack/*", Access::page, Lane::writer, body, nullptr, nullptr, answerReplyPage},
    {"GET", notifierInstallerUrl, Access::asset, Lane::server, body, nullptr, nullptr, answerNotifierInstaller},
    {"GET", "/healthz", Access::health, Lane::server, body, nullptr, nullptr, openHealth},
    {"GET", "/me", Access::asset, Lane::server, body, nullptr, nullptr, movedToMyPage},
    {"POST", "/api/me/login", Access::hostLogin, Lane::outbound, body, nullptr, nullptr, openHostLogin, nullptr, hostLoginRefusal},
    {"POST", "/api/me/sign-in-link", Access::hostLogin, Lane::writer, body, nullptr, nullptr, openSignInLink},
    {"GET", "/me/sign-in/*", Access::signInLink, Lane::server, body, nullptr, nullptr, signInPage},
    {"POST", "/me/sign-in/*", Access::signInLink, Lane::writer, body, nullptr, nullptr, signInPage},
    {"POST", "/api/me/logout", Access::host, Lane::writer, body, nullptr, nullptr, nullptr, hostLogout},
    {"GET", "/api/me/session", Access::host, Lane::server, body, nullptr, nullptr, nullptr, hostSession},
    {"GET", "/api/me/events", Access::host, Lane::server, body, nullptr, nullptr, nullptr, hostEvents},
    {"POST", "/api/me/notifications/#/acknowledge", Access::host, Lane::writer, body, nullptr, nullptr, nullptr, acknowledgeMyGuest},
    {"GET", "/api/me/contacts", Access::host, Lane::server, body, nullptr, nullptr, nullptr, myContacts},
    {"PUT", "/api/me/contacts", Access::host, Lane::writer, body, nullptr, nullptr, nullptr, updateMyContacts},
    {"POST", "/api/me/contacts/test", Access::host, Lane::outbound, body, nullptr, nullptr, nullptr, testMyContacts},
    {"GET", "/api/me/visits", Access::host, Lane::server, body, nullptr, nullptr, nullptr, myVisits},
    {"GET", "/api/me/notifier", Access::host, Lane::server, body, nullptr, nullptr, nullptr, myNotifierKey},
    {"POST", "/api/me/notifier/new-key", Access::host, Lane::writer, body, nullptr, nullptr, nullptr, newMyNotifierKey},
    {"POST", "/api/me/invitations", Access::host, Lane::writer, body, nullptr, nullptr, nullptr, hostInvite},
    {"GET", "/api/me/invitations", Access::host, Lane::server, body, nullptr, nullptr, nullptr, hostInvitations},
    {"DELETE", "/api/me/invitations/#", Access::host, Lane::writer, body, nullptr, nullptr, nullptr, hostCancelInvitation},
    {"GET", "/sso/desk", Access::page, Lane::writer, body, nullptr, nullptr, ssoDeskSignIn},
    {"GET", "/sso/me", Access::page, Lane::writer, body, nullptr, nullptr, ssoHostSignIn},
    {"GET", "/sso/callback", Access::page, Lane::outbound, body, nullptr, nullptr, ssoCallback},
    {"GET", "/sso/login-option", Access::page, Lane::server, body, nullptr, nullptr, ssoLoginOption},
    // Every other request, by the part of the service it is for.
    {nullptr, "/api/reception/*", Access::notifierKey, Lane::server, body, nullptr, nullptr},
    {nullptr, "/api/desk/login", Access::login, Lane::server, body, nullptr, nullptr},
    {nullptr, "/api/desk/*", Access::desk, Lane::server, body, nullptr, nullptr},
    {nullptr, "/api/kiosk/*", Access::kiosk, Lane::server, body, nullptr, nullptr},
    {nullptr, "/ack/*", Access::page, Lane::server, body, nullptr, nullptr, answerReplyPage},
    {nullptr, "/api/me/login", Access::hostLogin, Lane::server, body, nullptr, nullptr},
    {nullptr, "/api/me/sign-in-link", Access::hostLogin, Lane::server, body, nullptr, nullptr},
    {nullptr, "/api/me/*", Access::host, Lane::server, body, nullptr, nullptr},
    {nullptr, "/me/sign-in/*", Access::signInLink, Lane::server, body, nullptr, nullptr},
    {nullptr, "/healthz", Access::health, Lane::server, body, nullptr, nullptr},
    {nullptr, "*", Access::asset, Lane::server, body, nullptr, nullptr},
};

}  // namespace

// What was decided about a request when its headers arrived; its handler
// gets it, so nothing is looked up or parsed twice.
struct RequestContext {
  const Route* row = nullptr;
  std::int64_t id = 0;  // the number in the path, if the row has "#"
  QueryMap query;
  Audience audience = Audience::desk;  // who reads its answers
  DeskAccount account;  // the session's account and role, on desk and admin rows
  HostMember member;    // the session's member, on host rows
  std::int64_t keyHolder = 0;  // on notifier rows: the member of a personal key; 0 for the shared key
};

namespace {

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// "#" in the pattern matches a decimal id of 1 to 18 digits, a final "*" any rest.
bool matchPath(std::string_view path, std::string_view pattern, std::int64_t& id) {
  if (!pattern.empty() && pattern.back() == '*') return startsWith(path, pattern.substr(0, pattern.size() - 1));
  std::size_t hash = pattern.find('#');
  if (hash == std::string_view::npos) return path == pattern;
  std::string_view prefix = pattern.substr(0, hash);
  std::string_view suffix = pattern.substr(hash + 1);
  if (path.size() <= prefix.size() + suffix.size() || !startsWith(path, prefix) ||
      path.substr(path.size() - suffix.size()) != suffix) {
    return false;
  }
  return parseDecimal(path.substr(prefix.size(), path.size() - prefix.size() - suffix.size()), 18, id);
}

bool methodFits(const std::string& method, const Route& route) {
  if (route.method == nullptr) return true;
  return method == route.method || (method == "HEAD" && std::string_view(route.method) == "GET");
}

// The request's row; the last row takes whatever no other does.
const Route& findRoute(const std::string& method, std::string_view path, std::int64_t& id) {
  for (const Route& route : routes) {
    id = 0;
    if (methodFits(method, route) && matchPath(path, route.path, id)) return route;
  }
  id = 0;
  return routes[std::size(routes) - 1];
}

Audience audienceOf(Access access) {
  switch (access) {
    case Access::notifierKey: return Audience::notifier;
    case Access::page:
    case Access::signInLink: return Audience::page;
    default: return Audience::desk;
  }
}

Api apiOf(Access access) {
  switch (access) {
    case Access::notifierKey: return Api::notifier;
    case Access::login:
    case Access::desk:
    case Access::admin:
    case Access::kiosk:
    case Access::hostLogin:
    case Access::host: return Api::desk;
    default: return Api::page;
  }
}

// The path as received, without query or fragment: an escaped byte never
// matches a route (404), so a proxy in front that filters by path sees what
// is served.
std::string_view rawPathOf(const std::string& target) { return std::string_view(target).substr(0, target.find_first_of("?#")); }

HttpResponse textAnswer(int status, std::string text) {
  HttpResponse response;
  response.status = status;
  response.contentType = "text/plain; charset=utf-8";
  response.body = std::move(text);
  return response;
}

HttpResponse assetAnswer(std::string_view path, const std::string& method) {
  std::string_view bytes;
  std::string_view contentType;
  if (!findAsset(path, bytes, contentType)) return textAnswer(404, "Not found\n");
  if (method != "GET" && method != "HEAD") {
    HttpResponse refused = textAnswer(405, "Method not allowed\n");
    refused.headers.emplace_back("Allow", "GET, HEAD");
    return refused;
  }
  HttpResponse response;
  response.contentType = std::string(contentType);
  response.body = std::string(bytes);
  response.headers = {{"Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'"},
                      {"Referrer-Policy", "no-referrer"},
                      {"Cache-Control", "no-cache"}};
  return response;
}

HttpResponse redirectToHttps(const HttpRequest& request) {
  HttpResponse response = textAnswer(308, "The front desk is served over HTTPS.\n");
  response.headers.emplace_back("Location", httpsLocation(request, currentSettings().origin.tlsPort));
  return response;
}

// Says which names the desk answers to and how to add one, since whoever
// sees it is most likely setting the service up.
HttpResponse unknownHostAnswer(const HttpRequest& request) {
  logRefusal(request.clientAddress, 421, "the desk does not answer to the host name", currentTimeMs(),
             "\"" + request.host.substr(0, 200) + "\"");
  std::string names;
  for (const std::string& name : currentSettings().origin.hostNames) names += (names.empty() ? "" : ", ") + name;
  if (currentSettings().origin.machineAddresses) names += ", and every address of this server";
  std::string ports;
  for (std::uint16_t port : currentSettings().origin.ports) ports += (ports.empty() ? "" : ", ") + std::to_string(port);
  return textAnswer(421, "This service does not answer to that host name.\n\n"
                         "The desk answers to: " + names + ".\n"
                         "A port in the host name must be one the service listens on (" + ports + "),\n"
                         "unless the name was given with its port.\n\n"
                         "To open it by another name, add the line \"host-name = NAME\" to the service's\n"
                         "settings (/etc/vestibra/reception.conf in the package) or start it with\n"
                         "--host-name NAME, then restart the service. A name reached on another port,\n"
                         "a load balancer's, must be given with that port: \"host-name = NAME:PORT\"\n"
                         "(--host-name NAME:PORT).\n");
}

// The methods the path has, for Allow: "GET, HEAD, POST".
std::string methodsOf(std::string_view path) {
  std::string allowed;
  for (const Route& route : routes) {
    std::int64_t id = 0;
    if (route.method == nullptr || !matchPath(path, route.path, id)) continue;
    std::string method = route.method;
    if (method == "GET") method += ", HEAD";
    allowed += (allowed.empty() ? "" : ", ") + method;
  }
  return allowed;
}

// A request whose path has no row of its method: 404, or 405 with the methods it has.
HttpResponse noSuchRequest(std::string_view path, Audience audience) {
  std::string allowed = methodsOf(path);
  if (allowed.empty()) return failureAnswer(Failure::notFound, audience);
  return failureAnswer(Failure::methodNotAllowed, audience, allowed);
}

// Who the request's key is for: 0 for the shared key, a member's id for a
// personal one, nullopt for a key this service does not take.
std::optional<std::int64_t> notifierKeyHolder(const QueryMap& query) {
  std::string given = queryValue(query, "key").value_or("");
  NotifierKeys keys = currentSettings().notifierKeys;
  if (keyMatches(given, currentSettings().notifier.accessKey)) {
    return keys == NotifierKeys::personal ? std::nullopt : std::optional<std::int64_t>(0);
  }
  if (keys == NotifierKeys::shared) return std::nullopt;
  std::int64_t holder = personalKeyHolder(given);
  return holder != 0 ? std::optional<std::int64_t>(holder) : std::nullopt;
}

// Why a notifier request is refused, or nullopt with the key's member in the context.
std::optional<HttpResponse> notifierRefusal(const HttpRequest& request, RequestContext& context,
                                            std::string_view path) {
  // A notifier sends Host and nothing else: a request with any header of a
  // browser comes from a web page (an <img> with the well-known key) and changes nothing.
  if (sentByBrowser(request)) {
    logRefusal(request.clientAddress, 403, "a browser's request to the notifier API", currentTimeMs());
    return failureAnswer(Failure::fromBrowser, Audience::notifier);
  }
  // Notifiers only ever GET: anything else, HEAD too, is no request of theirs.
  if (request.method != "GET") return failureAnswer(Failure::methodNotAllowed, Audience::notifier, "GET");
  std::optional<std::int64_t> holder = notifierKeyHolder(context.query);
  if (!holder) {
    logRefusal(request.clientAddress, 403, "a notifier request without the right key", currentTimeMs());
    return failureAnswer(Failure::wrongKey, Audience::notifier);
  }
  context.keyHolder = *holder;
  if (context.row->notifier == nullptr) return noSuchRequest(path, context.audience);
  return std::nullopt;
}

// Writes must say they are JSON: a cross-site form or a "simple" fetch from
// another page cannot set that type without a preflight, which this service
// never grants.
bool isJsonBody(const HttpRequest& request) {
  std::string_view type = request.contentType;
  type = type.substr(0, type.find(';'));
  return trimmed(type) == "application/json";
}

// The checks of the desk's headers, the login's included: the refusal, or nullopt.
std::optional<HttpResponse> deskHeadersRefusal(const HttpRequest& request) {
  const std::string& method = request.method;
  bool isWrite = method != "GET" && method != "HEAD";
  bool hasBody = method == "POST" || method == "PUT";
  if (isWrite && isCrossSiteWrite(request)) {
    logRefusal(request.clientAddress, 403, "a desk write from another site", currentTimeMs());
    return failureAnswer(Failure::crossSite, Audience::desk);
  }
  // Another service on this host name (or a page over plain HTTP) may have
  // set the second one: answer neither rather than guess.
  if (sessionCookieCount(request) > 1) return failureAnswer(Failure::twoSessionCookies, Audience::desk);
  if (hasBody && !isJsonBody(request)) return failureAnswer(Failure::notJson, Audience::desk);
  return std::nullopt;
}

// Why a desk request is refused, or nullopt with the session's account in the context.
std::optional<HttpResponse> sessionRefusal(const HttpRequest& request, RequestContext& context, std::string_view path) {
  // A host's page session is for /api/me/ only.
  if (sessionToken(request).empty() && !hostSessionToken(request).empty()) {
    return errorAnswer(403, "A host's session cannot use the desk. Log in at the desk.");
  }
  Outcome session = findSession(sessionToken(request), context.account);
  if (session == Outcome::notFound) return failureAnswer(Failure::needsLogin, context.audience);
  if (session != Outcome::ok) return outcomeAnswer(session, context.audience, Failure::readFailed);
  bool kioskRow = context.row->access == Access::kiosk;
  if (context.account.role == "kiosk" && !kioskRow) return errorAnswer(403, "A kiosk account reaches only the kiosk.");
  if (context.account.role != "kiosk" && kioskRow) return errorAnswer(403, "Only a kiosk account may do this.");
  if (context.row->desk == nullptr) return noSuchRequest(path, context.audience);
  if (context.row->access == Access::admin && context.account.role != "admin") {
    return failureAnswer(Failure::adminOnly, context.audience);
  }
  return std::nullopt;
}

// The checks of the host page's headers, its sign-in included: the refusal, or nullopt.
std::optional<HttpResponse> hostPageHeadersRefusal(const HttpRequest& request) {
  const std::string& method = request.method;
  bool hasBody = method == "POST" || method == "PUT";
  if (method != "GET" && method != "HEAD" && isCrossSiteWrite(request)) {
    logRefusal(request.clientAddress, 403, "a host page write from another site", currentTimeMs());
    return failureAnswer(Failure::crossSite, Audience::desk);
  }
  if (hostCookieCount(request) > 1) {
    return errorAnswer(400, "The browser sent more than one session cookie. Clear this site's cookies and sign in again.");
  }
  if (hasBody && !isJsonBody(request)) return failureAnswer(Failure::notJson, Audience::desk);
  return std::nullopt;
}

// Why a request of a host's page is refused, or nullopt with the session's member in the context.
std::optional<HttpResponse> hostSessionRefusal(const HttpRequest& request, RequestContext& context,
                                               std::string_view path) {
  // A desk session is for /api/desk/ only.
  if (hostSessionToken(request).empty() && !sessionToken(request).empty()) {
    return errorAnswer(403, "A desk session cannot use a host's page. Sign in as yourself at /me/.");
  }
  Outcome session = findHostSession(hostSessionToken(request), context.member);
  if (session == Outcome::notFound) return errorAnswer(401, "Please sign in.");
  if (session != Outcome::ok) return outcomeAnswer(session, context.audience, Failure::readFailed);
  if (context.row->host == nullptr) return noSuchRequest(path, context.audience);
  return std::nullopt;
}

// The sign-in link's button: a form of this site only, so no other page can
// sign a browser in as someone else. Its page sends no referrer, so the
// browser's Origin is "null": Sec-Fetch-Site tells where it came from.
std::optional<HttpResponse> signInLinkRefusal(const HttpRequest& request, const RequestContext& context,
                                              std::string_view path) {
  if (context.row->open == nullptr) return noSuchRequest(path, context.audience);
  bool fromThisSite = request.secFetchSite.empty() ? !isCrossSiteWrite(request) || request.origin == "null"
                                                   : request.secFetchSite == "same-origin";
  if (request.method == "POST" && !fromThisSite) return failureAnswer(Failure::crossSite, context.audience);
  return std::nullopt;
}

// Why the service does not answer a request for its own pages, or nullopt.
std::optional<HttpResponse> hostRefusal(const HttpRequest& request) {
  // Checked before anything of the desk: a DNS-rebinding page has another host name.
  if (!isServiceHost(request.host, currentSettings().origin)) return unknownHostAnswer(request);
  if (currentSettings().origin.tlsPort != 0 && !request.overTls) return redirectToHttps(request);
  return std::nullopt;
}

// Every check of a request's headers, by the access of its row: the refusal, or nullopt.
std::optional<HttpResponse> headersRefusal(const HttpRequest& request, RequestContext& context) {
  std::string_view path = rawPathOf(request.target);
  Access access = context.row->access;
  if (access == Access::notifierKey) return notifierRefusal(request, context, path);
  // Checks name the backend's address, not the desk's, and may not follow a redirect to HTTPS.
  if (access == Access::health) {
    if (context.row->open == nullptr) return noSuchRequest(path, context.audience);
    return std::nullopt;
  }
  if (std::optional<HttpResponse> refused = hostRefusal(request)) return refused;
  switch (access) {
    case Access::login: {
      std::optional<HttpResponse> refused = deskHeadersRefusal(request);
      if (!refused && context.row->open == nullptr) refused = noSuchRequest(path, context.audience);
      return refused;
    }
    case Access::desk:
    case Access::admin:
    case Access::kiosk: {
      std::optional<HttpResponse> refused = deskHeadersRefusal(request);
      return refused ? refused : sessionRefusal(request, context, path);
    }
    case Access::hostLogin: {
      std::optional<HttpResponse> refused = hostPageHeadersRefusal(request);
      if (!refused && context.row->open == nullptr) refused = noSuchRequest(path, context.audience);
      return refused;
    }
    case Access::host: {
      std::optional<HttpResponse> refused = hostPageHeadersRefusal(request);
      return refused ? refused : hostSessionRefusal(request, context, path);
    }
    case Access::signInLink: return signInLinkRefusal(request, context, path);
    default: return std::nullopt;
  }
}

// Headers every answer of the service carries.
void addCommonHeaders(const HttpRequest& request, HttpResponse& response) {
  response.headers.emplace_back("X-Content-Type-Options", "nosniff");
  // Browsers then never try plain HTTP for this name again, so a redirect cannot be stripped.
  if (request.overTls) response.headers.emplace_back("Strict-Transport-Security", "max-age=31536000");
}

// The request's context and its row's lane and limit, or the refusal.
std::shared_ptr<const RequestContext> decide(const HttpRequest& request, RouteClass& route,
                                             std::optional<HttpResponse>& refusal) {
  auto context = std::make_shared<RequestContext>();
  context->row = &findRoute(request.method, rawPathOf(request.target), context->id);
  context->query = parseRequestTarget(request.target).query;
  context->audience = audienceOf(context->row->access);
  bool upload = context->row->body == Body::upload;
  route = RouteClass{context->row->lane, upload ? maxUploadBodyBytes : maxRequestBodyBytes, upload};
  // Runs on the server's own threads: a session read must not wait for another process's lock.
  WriteWaitBudget budget(0);
  refusal = headersRefusal(request, *context);
  if (refusal) addCommonHeaders(request, *refusal);
  return context;
}

// The login's own checks, with the body it reads anyway (a malformed body,
// a throttled name or address), before it waits for the hasher.
std::optional<HttpResponse> bodyRefusal(const HttpRequest& request, const RequestContext& context) {
  if (context.row->bodyCheck == nullptr) return std::nullopt;
  std::optional<HttpResponse> refused = context.row->bodyCheck(request);
  if (refused) addCommonHeaders(request, *refused);
  return refused;
}

// The rest of the path after the row's "*": a reply link's token.
std::string_view restOf(std::string_view path, const Route& row) {
  std::size_t star = row.path.find('*');
  return star == std::string_view::npos ? std::string_view() : path.substr(std::min(star, path.size()));
}

// Each desk account's writes are limited (logging out is not counted): the refusal, or nullopt.
std::optional<HttpResponse> deskWriteLimited(const HttpRequest& request, const RequestContext& context) {
  bool isWrite = request.method != "GET" && request.method != "HEAD";
  if (!isWrite || context.row->desk == &logout) return std::nullopt;
  return writeRefusal(deskWriteLimit(), context.account.id, currentTimeMs());
}

// The same for each host on their own page: invitations mail outside addresses.
std::optional<HttpResponse> hostWriteLimited(const HttpRequest& request, const RequestContext& context) {
  bool isWrite = request.method != "GET" && request.method != "HEAD";
  if (!isWrite || context.row->host == &hostLogout) return std::nullopt;
  return writeRefusal(hostWriteLimit(), context.member.id, currentTimeMs());
}

// The row's handler, by its access, with what was decided at the headers.
HttpResponse route(const HttpRequest& request, const RequestContext& context) {
  const Route& row = *context.row;
  const ServiceSettings& settings = currentSettings();
  switch (row.access) {
    case Access::notifierKey: {
      const NotifierCall call{context.query, settings.notifier, context.keyHolder};
      // cppcheck-suppress returnDanglingLifetime  ; the handler answers by value: the call's references end with it
      return row.notifier(call);
    }
    case Access::desk:
    case Access::admin:
    case Access::kiosk: {
      if (std::optional<HttpResponse> limited = deskWriteLimited(request, context)) return *limited;
      const DeskCall call{request, context.account, context.id, context.query, settings.desk};
      // cppcheck-suppress returnDanglingLifetime  ; the handler answers by value: the call's references end with it
      return row.desk(call);
    }
    case Access::host: {
      if (std::optional<HttpResponse> limited = hostWriteLimited(request, context)) return *limited;
      const HostCall call{request, context.member, context.id, context.query, settings.host};
      // cppcheck-suppress returnDanglingLifetime  ; the handler answers by value: the call's references end with it
      return row.host(call);
    }
    case Access::login:
    case Access::hostLogin:
    case Access::page:
    case Access::signInLink: return row.open(request, restOf(rawPathOf(request.target), row));
    case Access::asset:
    case Access::health: break;
  }
  if (row.open != nullptr) return row.open(request, rawPathOf(request.target));
  return assetAnswer(rawPathOf(request.target), request.method);
}

void logHttpRefusal(const HttpRequest& request, int status, const char* reason) {
  logRefusal(request.clientAddress, status, reason, currentTimeMs());
}

void countAnswer(const HttpRequest& request, int status, double seconds) {
  Access access = Access::asset;
  if (request.context != nullptr) {
    access = request.context->row->access;
  } else {
    std::int64_t id = 0;  // refused before it was decided (too many parameters)
    access = findRoute(request.method, rawPathOf(request.target), id).access;
  }
  countRequest(apiOf(access), status, seconds);
}

}  // namespace

void configureService(const ServiceSettings& serviceSettings) {
  ServiceSettings& settings = currentSettings();
  settings = serviceSettings;
  settings.desk.notifierKey = settings.notifier.accessKey;
  deskWriteLimit().configure(settings.deskWritesPerSecond);
  hostWriteLimit().configure(settings.hostWritesPerSecond);
  setEventStreamLimits(EventStreamLimits{settings.maxEventStreams, defaultEventStreamsPerAddress});
  // Made now rather than by the first notifier that brings a personal key.
  std::string secret;
  if (databaseIsOpen()) installationSecret(secret);
}

HttpServerSetup receptionServerSetup() {
  HttpServerSetup setup;
  setup.handler = &handleReceptionRequest;
  setup.decide = &decideReceptionRequest;
  setup.screenBody = &screenReceptionBody;
  setup.answers.busy = failureAnswer(Failure::serverBusy, Audience::desk);
  setup.answers.loginWaiting = failureAnswer(Failure::loginWaiting, Audience::desk);
  setup.answers.tooLarge = failureAnswer(Failure::tooLarge, Audience::desk);
  setup.answers.tooManyParameters = failureAnswer(Failure::tooManyParameters, Audience::desk);
  for (HttpResponse* answer : {&setup.answers.busy, &setup.answers.loginWaiting, &setup.answers.tooLarge,
                               &setup.answers.tooManyParameters}) {
    answer->headers.emplace_back("X-Content-Type-Options", "nosniff");
  }
  setup.maxConnectionsPerAddress = currentSettings().maxConnectionsPerAddress;
  setup.maxConnections = currentSettings().maxConnections;
  setup.answered = &countAnswer;
  setup.refused = &logHttpRefusal;
  setup.preferredLogin = &isKnownDeskAddress;
  setup.trustedProxies = currentSettings().trustedProxies;
  return setup;
}

// Both answer on a listener's own thread, which serves every connection of
// it: they wait for no lock and at most a second for the database.
std::string receptionMetricsText() {
  WriteWaitBudget budget(0);
  return metricsText(readGauges(currentTimeMs(), currentSettings().desk.policy));
}

HttpResponse receptionHealthAnswer() {
  WriteWaitBudget budget(0);
  DatabaseHealth health = databaseHealth();
  if (health.ok) return textAnswer(200, "ok");
  HttpResponse unhealthy = textAnswer(503, "unavailable: " + health.reason + "\n");
  unhealthy.headers.emplace_back("Retry-After", std::to_string(databaseRetryAfterSeconds));
  unhealthy.headers.emplace_back("Cache-Control", "no-store");
  return unhealthy;
}

bool decideReceptionRequest(HttpRequest& request, RouteClass& route, HttpResponse& refusal) {
  std::optional<HttpResponse> refused;
  request.context = decide(request, route, refused);
  if (!refused) return false;
  refusal = std::move(*refused);
  return true;
}

bool screenReceptionBody(const HttpRequest& request, HttpResponse& refusal) {
  if (request.context == nullptr) return false;
  std::optional<HttpResponse> refused = bodyRefusal(request, *request.context);
  if (!refused) return false;
  refusal = std::move(*refused);
  return true;
}

HttpResponse handleReceptionRequest(const HttpRequest& request) {
  std::shared_ptr<const RequestContext> context = request.context;
  if (context == nullptr) {
    // Called without the server (which decides when the headers arrive): decided now.
    RouteClass route;
    std::optional<HttpResponse> refused;
    context = decide(request, route, refused);
    if (!refused) refused = bodyRefusal(request, *context);
    if (refused) return *refused;
  }
  // Only a lane's worker may wait for another process's lock; the server's
  // own threads serve every connection and must not.
  WriteWaitBudget budget(request.onWorker ? writeBusyTimeoutMs : 0);
  AnswerDeadline deadline(requestAnswerMs);
  HttpResponse response = route(request, *context);
  addCommonHeaders(request, response);
  return response;
}
