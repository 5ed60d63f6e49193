// The HTTP layer: a libmicrohttpd daemon on a listening socket of our own,
// handing each complete request to one handler function.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "http/http_response.h"
#include "http/listener.h"

class EventStream;
// What the service decided about a request when its headers arrived (its
// route, account, query...): made and read by the service only; the HTTP
// layer keeps it with the request until the answer.
struct RequestContext;

struct HttpRequest {
  std::string method;
  std::string target;  // as received: path and query, still percent-encoded
  std::string contentType;
  std::string body;
  bool bodyTooLarge = false;
  // What the service's checks read of the request's headers and connection.
  std::string host;  // the Host header, "" when absent
  std::string origin;
  bool hasOrigin = false;
  bool hasCookie = false;
  std::string cookie;
  std::string secFetchSite;
  bool hasFetchMetadata = false;  // any Sec-Fetch-* header
  bool hasBrowserHeader = false;  // any header browsers send and notifiers never do
  std::string clientAddress;      // the peer's IP address as text (or, from a trusted proxy, its client's)
  std::string forwardedFor;       // every X-Forwarded-For header, joined by ", "
  bool overTls = false;
  std::shared_ptr<const RequestContext> context;  // none until the headers are in
  bool onWorker = false;  // answered on a lane's worker, where it may wait; not on a daemon thread
};

// Where a request is answered. server: on the daemon's own threads, which
// serve every connection and so must never wait, neither for another
// process's lock nor for a lock another thread holds while it waits for one,
// nor long for a database server across the network: a write tried there
// proceeds at once or is refused as busy, and a read of a database server
// that does not answer gives up within a second, or at once while it is
// known to be away. writer: on one of the writer threads, while the
// connection waits suspended (writes that may wait for another process's or
// instance's lock, or a few seconds for the database server). login: on the
// one password-hashing worker, at a lower priority. outbound: on the
// outbound workers, for requests that call another server while they are
// answered (an identity provider, a mail or push server, the directory),
// each call within its own timeout: a slow one holds up only this lane.
enum class Lane { server, writer, login, outbound };

// Request bodies beyond a route's limit are refused with 413: from
// Content-Length before any of the body is read, and a chunked body at the
// byte that passes it.
constexpr std::size_t maxRequestBodyBytes = std::size_t{16} * 1024;

// Where and how a request is read and answered, decided by the service
// when its headers arrive and before any of the body is read.
struct RouteClass {
  Lane lane = Lane::server;
  std::size_t bodyLimit = maxRequestBodyBytes;
  bool upload = false;  // its body may be large: read only while one of the upload slots is free
};

using RequestHandler = HttpResponse (*)(const HttpRequest&);
// Decides about a request once its headers are in, before any of its body
// is read: its lane and body limit, and the context (request.context) its
// handler is given. True with the refusal set when it is refused then.
using RequestDecider = bool (*)(HttpRequest& request, RouteClass& route, HttpResponse& refusal);
// The checks of a request's body, once the body is in and before the request
// waits in a lane's queue; only what the headers could not tell.
using BodyScreen = bool (*)(const HttpRequest& request, HttpResponse& refusal);

// The answers the HTTP layer gives on its own, from the service's table of
// answers; bare statuses when not set.
struct ServerAnswers {
  HttpResponse busy{503, "", "", {{"Retry-After", "1"}}, nullptr};  // a lane's queue is full
  HttpResponse loginWaiting{429, "", "", {{"Retry-After", "1"}}, nullptr};  // its address has a login waiting already
  HttpResponse tooLarge{413, "", "", {}, nullptr};           // the body passes the route's limit
  HttpResponse tooManyParameters{414, "", "", {}, nullptr};  // more than maxQueryParameters
};

// Targets with more query parameters than this are refused with 414.
constexpr std::size_t maxQueryParameters = 64;
// A whole request (headers and body) must arrive within this time of its
// first byte; slower ones are cut off, however steadily they trickle in.
constexpr unsigned requestDeadlineSeconds = 10;
// Its headers must be in within this time: a trickle of header lines then
// holds a connection slot for a few seconds only.
constexpr unsigned headersDeadlineSeconds = 5;
constexpr unsigned defaultConnectionsPerAddress = 32;

struct HttpServerSetup {
  RequestHandler handler = nullptr;
  RequestDecider decide = nullptr;      // none: the server lane, the default limit, no refusal
  BodyScreen screenBody = nullptr;      // none: every body goes on to its answer
  ServerAnswers answers;
  // Connections one client address may hold at once; the rest of the
  // connection slots stay free for others.
  unsigned maxConnectionsPerAddress = defaultConnectionsPerAddress;
  // Told of every answer with the seconds from the request's first line (for
  // the metrics); may be null. Runs on the answering thread: keep it cheap.
  void (*answered)(const HttpRequest& request, int status, double seconds) = nullptr;
  // Told of a request the HTTP layer refuses by itself (414), for the
  // service's log of refusals; may be null.
  void (*refused)(const HttpRequest& request, int status, const char* reason) = nullptr;
  // Connection slots in all; 0: as many as the descriptors allow, at most 4,096.
  unsigned maxConnections = 0;
  // Whether a client network (client_network.h) is known to the service: its
  // logins keep a reserved place in the password hasher's queue. May be null.
  bool (*preferredLogin)(const std::string& network) = nullptr;
  // Load balancers whose X-Forwarded-For names the client (forwarded_for.h).
  std::vector<std::string> trustedProxies;
};


// Serves requests from the listener on the daemon's own threads and the
// lanes' workers until stopHttpServer. False with error set when the daemon
// cannot start.
bool startHttpServer(int listener, const HttpServerSetup& setup, std::string& error);
// Serves the same setup over HTTPS from a second listener, with the PEM
// certificate (chain) and key given as text.
bool startTlsServer(int listener, const std::string& certificatePem, const std::string& keyPem, std::string& error);
// Stops serving and closes the listeners.
void stopHttpServer();
