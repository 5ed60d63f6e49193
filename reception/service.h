// The service's one route table and its router: the desk page, the desk API
// and the notifier API meet here and nowhere else.
#pragma once

#include <string_view>

#include "desk/answers.h"
#include "desk/write_limit.h"
#include "host/host_api.h"
#include "host/personal_keys.h"
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
  unsigned maxEventStreams = defaultMaxEventStreams;  // hosts' open pages
};

// Sets what the router uses; before the server starts.
void configureService(const ServiceSettings& settings);
// The HTTP server's setup for this service: its handler, its classifier and its limits.
HttpServerSetup receptionServerSetup();

HttpResponse handleReceptionRequest(const HttpRequest& request);
// The metrics' exposition text, with the board's gauges read now.
std::string receptionMetricsText();
// The same checks as handleReceptionRequest, without the answer: true with
// the refusal set when the request would be refused (see RequestScreen).
bool screenReceptionRequest(const HttpRequest& request, Screening stage, HttpResponse& refusal);
// The route row, lane and body limit of a request, from its headers alone.
RouteClass classifyReceptionRequest(const std::string& method, std::string_view rawPath);

// An embedded desk page file by its path ("/", "/desk.js", ...): its bytes
// and content type, or false.
bool findAsset(std::string_view path, std::string_view& bytes, std::string_view& contentType);
