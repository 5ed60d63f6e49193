// The HTTP layer: a libmicrohttpd daemon on a listening socket of our own,
// handing each complete request to one handler function.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

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
  std::string clientAddress;      // the peer's IP address as text
  bool overTls = false;
};

struct HttpResponse {
  int status = 200;
  std::string contentType;  // none when empty
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
};

using RequestHandler = HttpResponse (*)(const HttpRequest&);

// Request bodies beyond this are refused with 413: from Content-Length
// before any of the body is read, and a chunked body at the byte that
// passes it (bodyTooLarge is set for a caller that still sees the request).
constexpr std::size_t maxRequestBodyBytes = std::size_t{16} * 1024;
// Targets with more query parameters than this are refused with 414.
constexpr std::size_t maxQueryParameters = 64;
// A whole request (headers and body) must arrive within this time of its
// first byte; slower ones are cut off, however steadily they trickle in.
constexpr unsigned requestDeadlineSeconds = 10;

// Connections one client address may hold at once (set before
// startHttpServer); the rest of the connection slots stay free for others.
extern unsigned maxConnectionsPerAddress;
// The limit for the few targets that take an upload (a staff CSV of some
// thousand names), which the service's router names.
constexpr std::size_t maxUploadBodyBytes = std::size_t{2} * 1024 * 1024;
bool isUploadTarget(const std::string& target);

// Binds and listens on an IPv4 address ("localhost" and "*" allowed) and
// port (0 picks a free one). The descriptor, or -1 with error set.
int openListener(const std::string& address, std::uint16_t port, std::string& error);
// The port a listening socket is bound to.
std::uint16_t listeningPort(int listener);

// Serves requests from the listener on the daemon's own threads until
// stopHttpServer. False with error set when the daemon cannot start.
bool startHttpServer(int listener, RequestHandler handler, std::string& error);
// Serves the same handler over HTTPS from a second listener, with the PEM
// certificate (chain) and key given as text.
bool startTlsServer(int listener, RequestHandler handler, const std::string& certificatePem, const std::string& keyPem,
                    std::string& error);
// Requests for which this answers true are answered on a worker thread while
// their connection waits suspended, one at a time, so that slow work
// (password hashing) never holds up the daemons' own threads. Set before
// starting a server.
void setSlowRequestTest(bool (*isSlow)(const HttpRequest&));
// Serves GET /metrics, and nothing else, from a listener of its own with
// the text render returns. Stopped with the others by stopHttpServer.
bool startMetricsServer(int listener, std::string (*render)(), std::string& error);
// Stops serving and closes the listeners.
void stopHttpServer();
