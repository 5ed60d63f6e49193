// The service's one route table and its router: the desk page, the desk API
// and the notifier API meet here and nowhere else.
#pragma once

#include <string_view>

#include "desk/answers.h"
#include "desk/write_limit.h"
#include "host/host_api.h"
#include "store/personal_keys.h"
#include "http/event_stream.h"
#include "http/request_guard.h"
#include "http/server.h"
#include "notifier/api.h"

// Everything the router needs, fixed at start.
struct ServiceSettings {
  NotifierSettings notifier;
  DeskSettings desk;
  HostSettings host;
  NotifierKeys notifierKeys = NotifierKeys::both;
  DeskOrigin origin;  // the names and ports the desk answers to
  unsigned maxConnectionsPerAddress = defaultConnectionsPerAddress;
  unsigned maxConnections = 0;  // 0: as many as the descriptors allow
  unsigned deskWritesPerSecond = defaultDeskWritesPerSecond;  // per desk account
  unsigned hostWritesPerSecond = defaultHostWritesPerSecond;  // per member, on their own page
  unsigned maxEventStreams = defaultMaxEventStreams;  // hosts' open pages
  std::vector<std::string> trustedProxies;  // --trusted-proxy: load balancers whose X-Forwarded-For is read
};

// Sets what the router uses; before the server starts.
void configureService(const ServiceSettings& settings);
// The HTTP server's setup for this service: its handler, its classifier and its limits.
HttpServerSetup receptionServerSetup();

// Answers a request with what was decided when its headers arrived
// (decided now when the server did not).
HttpResponse handleReceptionRequest(const HttpRequest& request);
// The metrics' exposition text, with the board's gauges read now.
std::string receptionMetricsText();
// GET /healthz, on the service's and the metrics' listener: 200 "ok" while
// the database answers with a current schema, else 503 with the reason.
HttpResponse receptionHealthAnswer();
// Decides about a request from its headers (see RequestDecider): its route
// row, id, query and session, kept in request.context for its handler.
bool decideReceptionRequest(HttpRequest& request, RouteClass& route, HttpResponse& refusal);
// The checks of its body (see BodyScreen): a login's.
bool screenReceptionBody(const HttpRequest& request, HttpResponse& refusal);

// An embedded desk page file by its path ("/", "/desk.js", ...): its bytes
// and content type, or false.
bool findAsset(std::string_view path, std::string_view& bytes, std::string_view& contentType);
