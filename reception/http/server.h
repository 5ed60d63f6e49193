// The HTTP layer: a libmicrohttpd daemon on a listening socket of our own,
// handing each complete request to one handler function.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "http/listener.h"

class EventStream;

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
  std::string clientAddress;      // the peer's IP address as text
  bool overTls = false;
  int route = -1;  // the route row the classifier chose from the headers, -1 for none
  bool onWorker = false;  // answered on a lane's worker, where it may wait; not on a daemon thread
};

struct HttpResponse {
  int status = 200;
  std::string contentType;  // none when empty
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  // Set: the body is this stream's text as it comes (see event_stream.h), and body is unused.
  std::shared_ptr<EventStream> stream;
};

// Where a request is answered. server: on the daemon's own threads, which
// serve every connection and so must never wait, neither for another
// process's lock nor for a lock another thread holds while it waits for one:
// a write tried there proceeds at once or is refused as busy. writer: on one
// of the writer threads, while the connection waits suspended (writes that
// may wait for another process's lock). login: on the one password-hashing
// worker, at a lower priority.
enum class Lane { server, writer, login };

// Request bodies beyond a route's limit are refused with 413: from
// Content-Length before any of the body is read, and a chunked body at the
// byte that passes it.
constexpr std::size_t maxRequestBodyBytes = std::size_t{16} * 1024;

// What the service decides about a request from its method and raw path,
// once, when the headers arrive and before any of the body is read.
struct RouteClass {
  int route = -1;
  Lane lane = Lane::server;
  std::size_t bodyLimit = maxRequestBodyBytes;
  bool upload = false;  // its body may be large: read only while one of the upload slots is free
};

// The checks a request passes before it is answered, asked ahead of the
// answer for requests off the server lane: once the headers are in (before
// any body is read), and once the body is in (before it waits in a lane's
// queue). True with the refusal set when the request is refused.
enum class Screening { headers, body };

using RequestHandler = HttpResponse (*)(const HttpRequest&);
using RequestClassifier = RouteClass (*)(const std::string& method, std::string_view rawPath);
using RequestScreen = bool (*)(const HttpRequest& request, Screening stage, HttpResponse& refusal);

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
  RequestClassifier classify = nullptr;
  RequestScreen screen = nullptr;  // none: every request goes on to its answer
  // Connections one client address may hold at once; the rest of the
  // connection slots stay free for others.
  unsigned maxConnectionsPerAddress = defaultConnectionsPerAddress;
  // Told of every answer with the seconds from the request's first line (for
  // the metrics); may be null. Runs on the answering thread: keep it cheap.
  void (*answered)(const HttpRequest& request, int status, double seconds) = nullptr;
  // Connection slots in all; 0: as many as the descriptors allow, at most 4,096.
  unsigned maxConnections = 0;
  // Whether a client network (client_network.h) is known to the service: its
  // logins keep a reserved place in the password hasher's queue. May be null.
  bool (*preferredLogin)(const std::string& network) = nullptr;
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
