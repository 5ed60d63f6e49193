#include "service.h"

#include <iterator>
#include <optional>

#include "alerts/reply_page.h"
#include "desk/contacts.h"
#include "desk/desk.h"
#include "desk/gauges.h"
#include "desk/known_addresses.h"
#include "desk/host_pages.h"
#include "directory/directory_desk_api.h"
#include "downloads/notifier_installer.h"
#include "http/query.h"
#include "log/service_log.h"
#include "metrics/metrics.h"
#include "store/accounts.h"
#include "store/clock.h"
#include "store/installation_secret.h"
#include "text/text.h"
#include "visits/erase_api.h"
#include "visits/invitation_api.h"
#include "visits/kiosk_api.h"
#include "visits/visit_api.h"

namespace {

constexpr std::string_view notifierPrefix = "/api/reception/";
constexpr std::string_view deskPrefix = "/api/desk/";
constexpr std::string_view kioskPrefix = "/api/kiosk/";
constexpr std::string_view replyPrefix = "/ack/";
constexpr std::string_view hostPrefix = "/api/me/";
constexpr std::string_view signInPrefix = "/me/sign-in/";
// The limit for a route that takes an upload (a staff CSV of some thousand names).
constexpr std::size_t maxUploadBodyBytes = std::size_t{2} * 1024 * 1024;

// What configureService was given; made on first use, not at static initialisation.
ServiceSettings& currentSettings() {
  static ServiceSettings settings;
  return settings;
}

// The desk accounts' write buckets; made on first use, not at static initialisation.
DeskWriteLimit& deskWriteLimit() {
  static DeskWriteLimit limit;
  return limit;
}

// Who may use a route: anyone with the notifiers' key, anyone (logging in,
// a reply link's page), a desk session of at least that role, or a host's
// session on their own page, or a kiosk account's session (which reaches
// nothing else).
enum class Access { notifierKey, anyone, desk, admin, host, kiosk };

// What body a route takes: a small JSON one, or an upload (read only once
// the session and role are known, a few at a time).
enum class Body { small, upload };

// One row per route, with every fact of it. "#" in a pattern stands for a
// decimal id, "*" for the rest of the path; a GET route answers HEAD too.
// Each row has the one handler of its kind.
struct Route {
  const char* method;
  std::string_view path;
  Access access;
  Lane lane;
  Body body;
  HttpResponse (*desk)(const DeskCall&);
  HttpResponse (*notifier)(const NotifierCall&);
  HttpResponse (*page)(const HttpRequest&, std::string_view rest) = nullptr;
  HttpResponse (*host)(const HostCall&) = nullptr;
};

constexpr Body body = Body::small;

const Route routes[] = {
    {"GET", "/api/reception/listUsers", Access::notifierKey, Lane::server, body, nullptr, listUsers},
    {"GET", "/api/reception/getNotification", Access::notifierKey, Lane::server, body, nullptr, getNotification},
    {"GET", "/api/reception/archiveNotification", Access::notifierKey, Lane::writer, body, nullptr, archiveNotification},
    {"POST", "/api/desk/login", Access::anyone, Lane::login, body, nullptr, nullptr},
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
    {"GET", "/ack/*", Access::anyone, Lane::server, body, nullptr, nullptr, answerReplyPage},
    {"POST", "/ack/*", Access::anyone, Lane::writer, body, nullptr, nullptr, answerReplyPage},
    {"GET", notifierInstallerUrl, Access::anyone, Lane::server, body, nullptr, nullptr, answerNotifierInstaller},
    {"POST", "/api/me/login", Access::anyone, Lane::login, body, nullptr, nullptr},
    {"POST", "/api/me/sign-in-link", Access::anyone, Lane::writer, body, nullptr, nullptr},
    {"GET", "/me/sign-in/*", Access::anyone, Lane::server, body, nullptr, nullptr, signInPage},
    {"POST", "/me/sign-in/*", Access::anyone, Lane::writer, body, nullptr, nullptr, signInPage},
    {"POST", "/api/me/logout", Access::host, Lane::writer, body, nullptr, nullptr, nullptr, hostLogout},
    {"GET", "/api/me/session", Access::host, Lane::server, body, nullptr, nullptr, nullptr, hostSession},
    {"GET", "/api/me/events", Access::host, Lane::server, body, nullptr, nullptr, nullptr, hostEvents},
    {"POST", "/api/me/notifications/#/acknowledge", Access::host, Lane::writer, body, nullptr, nullptr, nullptr, acknowledgeMyGuest},
    {"GET", "/api/me/contacts", Access::host, Lane::server, body, nullptr, nullptr, nullptr, myContacts},
    {"PUT", "/api/me/contacts", Access::host, Lane::writer, body, nullptr, nullptr, nullptr, updateMyContacts},
    {"POST", "/api/me/contacts/test", Access::host, Lane::writer, body, nullptr, nullptr, nullptr, testMyContacts},
    {"GET", "/api/me/visits", Access::host, Lane::server, body, nullptr, nullptr, nullptr, myVisits},
    {"POST", "/api/me/invitations", Access::host, Lane::writer, body, nullptr, nullptr, nullptr, hostInvite},
    {"GET", "/api/me/invitations", Access::host, Lane::server, body, nullptr, nullptr, nullptr, hostInvitations},
    {"DELETE", "/api/me/invitations/#", Access::host, Lane::writer, body, nullptr, nullptr, nullptr, hostCancelInvitation},
    {"GET", "/api/me/notifier", Access::host, Lane::server, body, nullptr, nullptr, nullptr, myNotifierKey},
};

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
  return method == route.method || (method == "HEAD" && std::string_view(route.method) == "GET");
}

int findRoute(const std::string& method, std::string_view path) {
  for (std::size_t i = 0; i < std::size(routes); ++i) {
    std::int64_t id = 0;
    if (methodFits(method, routes[i]) && matchPath(path, routes[i].path, id)) return static_cast<int>(i);
  }
  return -1;
}

// The path as received, without query or fragment: an escaped byte never
// matches a route (404), so a proxy in front that filters by path sees what
// is served.
std::string_view rawPathOf(const std::string& target) {
  return std::string_view(target).substr(0, target.find_first_of("?#"));
}

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
  if (method != "GET" && method != "HEAD") return textAnswer(405, "Method not allowed\n");
  HttpResponse response;
  response.contentType = std::string(contentType);
  response.body = std::string(bytes);
  response.headers = {{"Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'"},
                      {"Referrer-Policy", "no-referrer"},
                      {"Cache-Control", "no-cache"}};
  return response;
}

HttpResponse emptyAnswer(int status) {
  HttpResponse response;
  response.status = status;
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
  return textAnswer(421, "This service does not answer to that host name.\n\n"
                         "The desk answers to: " + names + ".\n\n"
                         "To open it by another name, add the line \"host-name = NAME\" to the service's\n"
                         "settings (/etc/vestibra/reception.conf in the package) or start it with\n"
                         "--host-name NAME, then restart the service.\n");
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

// Why a notifier request is refused, or nullopt.
std::optional<HttpResponse> notifierRefusalOf(const HttpRequest& request, const QueryMap& query) {
  // A notifier sends Host and nothing else: a request with any header of a
  // browser comes from a web page (an <img> with the well-known key) and changes nothing.
  if (sentByBrowser(request)) {
    logRefusal(request.clientAddress, 403, "a browser's request to the notifier API", currentTimeMs());
    return emptyAnswer(403);
  }
  if (request.method != "GET") return emptyAnswer(405);
  if (!notifierKeyHolder(query)) {
    logRefusal(request.clientAddress, 403, "a notifier request without the right key", currentTimeMs());
    return notifierRefusal(403, currentSettings().notifier);
  }
  if (request.route < 0) return notifierRefusal(404, currentSettings().notifier);
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

// The methods the path has, when only the method is wrong: "POST or DELETE".
std::string methodsOf(std::string_view path) {
  std::string allowed;
  for (const Route& route : routes) {
    std::int64_t id = 0;
    if (matchPath(path, route.path, id)) allowed += (allowed.empty() ? "" : " or ") + std::string(route.method);
  }
  return allowed;
}

// Why a desk request with a session cookie is refused, or nullopt with the session's account.
std::optional<HttpResponse> sessionRefusal(const HttpRequest& request, std::string_view path, DeskAccount& account) {
  // A host's page session is for /api/me/ only.
  if (sessionToken(request).empty() && !hostSessionToken(request).empty()) {
    return errorAnswer(403, "A host's session cannot use the desk. Log in at the desk.");
  }
  Outcome session = findSession(sessionToken(request), account);
  if (session == Outcome::notFound) return errorAnswer(401, "Please log in.");
  if (session != Outcome::ok) return storeFailure(session, readFailed);
  bool kioskRoute = request.route >= 0 && routes[request.route].access == Access::kiosk;
  if (account.role == "kiosk" && !kioskRoute) return errorAnswer(403, "A kiosk account reaches only the kiosk.");
  if (account.role != "kiosk" && startsWith(path, kioskPrefix)) return errorAnswer(403, "Only a kiosk account may do this.");
  if (request.route < 0) {
    std::string allowed = methodsOf(path);
    return allowed.empty() ? errorAnswer(404, "No such desk request.") : errorAnswer(405, "Use " + allowed + ".");
  }
  if (routes[request.route].access == Access::admin && account.role != "admin") {
    return errorAnswer(403, "Only an admin account may do this.");
  }
  return std::nullopt;
}

// Why a desk request is refused, or nullopt (with the account of its session
// unless it logs in). A login's body is read only once it is there.
std::optional<HttpResponse> deskRefusal(const HttpRequest& request, std::string_view path, bool bodyRead,
                                        DeskAccount& account) {
  const std::string& method = request.method;
  bool isWrite = method != "GET" && method != "HEAD";
  bool hasBody = method == "POST" || method == "PUT";
  if (isWrite && isCrossSiteWrite(request)) {
    logRefusal(request.clientAddress, 403, "a desk write from another site", currentTimeMs());
    return errorAnswer(403, "Requests from other sites are refused.");
  }
  if (sessionCookieCount(request) > 1) {
    // Another service on this host name (or a page over plain HTTP) may have
    // set the second one: answer neither rather than guess.
    return errorAnswer(400, "The browser sent more than one session cookie. Clear this site's cookies and log in again.");
  }
  if (hasBody && request.bodyTooLarge) return errorAnswer(413, "The request is too large.");
  if (hasBody && !isJsonBody(request)) return errorAnswer(415, "Send the request as application/json.");
  if (path == "/api/desk/login") {
    if (method != "POST") return errorAnswer(405, "Use POST.");
    return bodyRead ? loginRefusal(request) : std::nullopt;
  }
  return sessionRefusal(request, path, account);
}

// Why a request of a host's page is refused, or nullopt with the session's
// member (unless it signs in). A login's body is read only once it is there.
std::optional<HttpResponse> hostApiRefusal(const HttpRequest& request, std::string_view path, bool bodyRead,
                                           HostMember& member) {
  const std::string& method = request.method;
  bool hasBody = method == "POST" || method == "PUT";
  if (method != "GET" && method != "HEAD" && isCrossSiteWrite(request)) {
    logRefusal(request.clientAddress, 403, "a host page write from another site", currentTimeMs());
    return errorAnswer(403, "Requests from other sites are refused.");
  }
  if (hostCookieCount(request) > 1) {
    return errorAnswer(400, "The browser sent more than one session cookie. Clear this site's cookies and sign in again.");
  }
  if (hasBody && request.bodyTooLarge) return errorAnswer(413, "The request is too large.");
  if (hasBody && !isJsonBody(request)) return errorAnswer(415, "Send the request as application/json.");
  if (path == "/api/me/login" || path == "/api/me/sign-in-link") {
    if (method != "POST") return errorAnswer(405, "Use POST.");
    return bodyRead && path == "/api/me/login" ? hostLoginRefusal(request) : std::nullopt;
  }
  // A desk session is for /api/desk/ only.
  if (hostSessionToken(request).empty() && !sessionToken(request).empty()) {
    return errorAnswer(403, "A desk session cannot use a host's page. Sign in as yourself at /me/.");
  }
  Outcome session = findHostSession(hostSessionToken(request), member);
  if (session == Outcome::notFound) return errorAnswer(401, "Please sign in.");
  if (session != Outcome::ok) return storeFailure(session, readFailed);
  if (request.route < 0 || routes[request.route].access != Access::host) {
    std::string allowed = methodsOf(path);
    return allowed.empty() ? errorAnswer(404, "No such request.") : errorAnswer(405, "Use " + allowed + ".");
  }
  return std::nullopt;
}

// Why the service does not answer a request for the service's own pages, or nullopt.
std::optional<HttpResponse> hostRefusal(const HttpRequest& request) {
  // Checked before anything of the desk: a DNS-rebinding page has another host name.
  if (!isServiceHost(request.host, currentSettings().origin)) return unknownHostAnswer(request);
  if (currentSettings().origin.tlsPort != 0 && !request.overTls) return redirectToHttps(request);
  return std::nullopt;
}

// Every check a request passes before its handler runs: the refusal, or nullopt.
std::optional<HttpResponse> refusalOf(const HttpRequest& request, const QueryMap& query, bool bodyRead,
                                      DeskAccount& account, HostMember& member) {
  std::string_view path = rawPathOf(request.target);
  if (startsWith(path, notifierPrefix)) return notifierRefusalOf(request, query);
  if (std::optional<HttpResponse> refused = hostRefusal(request)) return refused;
  if (startsWith(path, deskPrefix) || startsWith(path, kioskPrefix)) return deskRefusal(request, path, bodyRead, account);
  if (startsWith(path, hostPrefix)) return hostApiRefusal(request, path, bodyRead, member);
  // The sign-in link's button: a form of this site only, so no other page
  // can sign a browser in as someone else. Its page sends no referrer, so
  // the browser's Origin is "null": Sec-Fetch-Site tells where it came from.
  bool fromThisSite = request.secFetchSite.empty() ? !isCrossSiteWrite(request) || request.origin == "null"
                                                   : request.secFetchSite == "same-origin";
  if (startsWith(path, signInPrefix) && request.method == "POST" && !fromThisSite) {
    return errorAnswer(403, "Requests from other sites are refused.");
  }
  return std::nullopt;
}

HttpResponse routeHost(const HttpRequest& request, std::string_view path, const QueryMap& query,
                       const HostMember& member) {
  const HostSettings& settings = currentSettings().host;
  if (path == "/api/me/login") return hostLogin(request, settings);
  if (path == "/api/me/sign-in-link") return requestSignInLink(request, settings);
  const Route& found = routes[request.route];
  std::int64_t id = 0;
  matchPath(path, found.path, id);
  const HostCall call{request, member, id, query, settings};
  // cppcheck-suppress returnDanglingLifetime  ; the handler answers by value: the call's references end with it
  return found.host(call);
}

HttpResponse route(const HttpRequest& request) {
  DeskAccount account;
  HostMember member;
  QueryMap query = parseRequestTarget(request.target).query;
  // The login's own checks run in login(), with the body it reads anyway.
  if (std::optional<HttpResponse> refused = refusalOf(request, query, false, account, member)) return *refused;
  std::string_view path = rawPathOf(request.target);
  if (startsWith(path, notifierPrefix)) {
    const NotifierCall call{query, currentSettings().notifier, notifierKeyHolder(query).value_or(0)};
    // cppcheck-suppress returnDanglingLifetime  ; the handler answers by value: the call's references end with it
    return routes[request.route].notifier(call);
  }
  if (path == "/api/desk/login") return login(request);
  if (startsWith(path, hostPrefix)) return routeHost(request, path, query, member);
  if (startsWith(path, signInPrefix)) {
    if (request.route < 0) return errorAnswer(405, "Use GET or POST.");
    return signInPage(request, path.substr(signInPrefix.size()));
  }
  if (path == "/me") {
    HttpResponse moved = textAnswer(308, "The host's page is at /me/.\n");
    moved.headers.emplace_back("Location", "/me/");
    return moved;
  }
  if (startsWith(path, replyPrefix)) {
    // A method the page does not take has no row: the page answers 405 itself.
    auto page = request.route >= 0 ? routes[request.route].page : answerReplyPage;
    return page(request, path.substr(replyPrefix.size()));
  }
  if (request.route >= 0 && routes[request.route].page) return routes[request.route].page(request, path);
  if (!startsWith(path, deskPrefix) && !startsWith(path, kioskPrefix)) return assetAnswer(path, request.method);
  const Route& found = routes[request.route];
  std::int64_t id = 0;
  matchPath(path, found.path, id);
  bool isWrite = request.method != "GET" && request.method != "HEAD";
  if (isWrite && path != "/api/desk/logout") {
    if (std::optional<HttpResponse> limited = deskWriteRefusal(deskWriteLimit(), account.id, currentTimeMs())) return *limited;
  }
  const DeskCall call{request, account, id, query, currentSettings().desk};
  // cppcheck-suppress returnDanglingLifetime  ; the handler answers by value: the call's references end with it
  return found.desk(call);
}

// Headers every answer of the service carries.
void addCommonHeaders(const HttpRequest& request, HttpResponse& response) {
  response.headers.emplace_back("X-Content-Type-Options", "nosniff");
  // Browsers then never try plain HTTP for this name again, so a redirect cannot be stripped.
  if (request.overTls) response.headers.emplace_back("Strict-Transport-Security", "max-age=31536000");
}

}  // namespace

void configureService(const ServiceSettings& serviceSettings) {
  ServiceSettings& settings = currentSettings();
  settings = serviceSettings;
  settings.desk.notifierKey = settings.notifier.accessKey;
  deskWriteLimit().configure(settings.deskWritesPerSecond);
  setEventStreamLimits(EventStreamLimits{settings.maxEventStreams, defaultEventStreamsPerAddress});
  // Made now rather than by the first notifier that brings a personal key.
  std::string secret;
  if (databaseIsOpen()) installationSecret(secret);
}

namespace {

void countAnswer(const HttpRequest& request, int status, double seconds) {
  countRequest(apiOfTarget(request.target), status, seconds);
}

}  // namespace

HttpServerSetup receptionServerSetup() {
  HttpServerSetup setup;
  setup.handler = &handleReceptionRequest;
  setup.classify = &classifyReceptionRequest;
  setup.screen = &screenReceptionRequest;
  setup.maxConnectionsPerAddress = currentSettings().maxConnectionsPerAddress;
  setup.maxConnections = currentSettings().maxConnections;
  setup.answered = &countAnswer;
  setup.preferredLogin = &isKnownDeskAddress;
  return setup;
}

std::string receptionMetricsText() { return metricsText(readGauges(currentTimeMs(), currentSettings().desk.policy)); }

RouteClass classifyReceptionRequest(const std::string& method, std::string_view rawPath) {
  int index = findRoute(method, rawPath);
  if (index < 0) return RouteClass{};
  const Route& found = routes[index];
  bool upload = found.body == Body::upload;
  return RouteClass{index, found.lane, upload ? maxUploadBodyBytes : maxRequestBodyBytes, upload};
}

bool screenReceptionRequest(const HttpRequest& request, Screening stage, HttpResponse& refusal) {
  // Runs on the server's own threads: a session read must not wait for another process's lock.
  WriteWaitBudget budget(0);
  DeskAccount account;
  HostMember member;
  QueryMap query = parseRequestTarget(request.target).query;
  std::optional<HttpResponse> refused = refusalOf(request, query, stage == Screening::body, account, member);
  if (!refused) return false;
  refusal = std::move(*refused);
  addCommonHeaders(request, refusal);
  return true;
}

HttpResponse handleReceptionRequest(const HttpRequest& request) {
  // Only a lane's worker may wait for another process's lock; the server's
  // own threads serve every connection and must not.
  WriteWaitBudget budget(request.onWorker ? writeBusyTimeoutMs : 0);
  HttpResponse response = route(request);
  addCommonHeaders(request, response);
  return response;
}
