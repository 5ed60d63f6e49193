#include "http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

// One thread per core: more only switch and contend for the listener (a
// pool of 4 on 2 cores measured 20% slower under connection-per-request load).
constexpr unsigned maxThreadCount = 8;
constexpr unsigned connectionTimeoutSeconds = 10;
constexpr unsigned listenBacklog = 256;

// Slow requests beyond this many waiting get 503 at once: at a few hashes a
// second on a busy machine, a longer queue only makes clients time out.
constexpr std::size_t maxWaitingSlowRequests = 8;
// The worker's nice value: under load, polls go first and logins wait.
constexpr int slowWorkerNice = 10;

// What the access handler knows of the daemon that called it.
struct DaemonContext {
  RequestHandler handler = nullptr;
  bool tls = false;
};

MHD_Daemon* httpDaemon = nullptr;
MHD_Daemon* tlsDaemon = nullptr;
DaemonContext plainContext;
DaemonContext tlsContext{nullptr, true};

// One request while it is being received, and while a worker answers it.
struct PendingRequest {
  HttpRequest request;
  bool started = false;
  bool suspended = false;
  HttpResponse answer;  // set by the worker before it resumes the connection
};

bool (*slowRequestTest)(const HttpRequest&) = nullptr;

// The one worker for slow requests and its queue.
struct SlowJob {
  MHD_Connection* connection;
  PendingRequest* pending;
  RequestHandler handler;
};
std::mutex slowMutex;
std::condition_variable slowReady;
std::vector<SlowJob> slowJobs;  // at most maxWaitingSlowRequests, oldest first
bool slowStopping = false;
std::thread slowWorker;

HttpResponse unavailable() {
  HttpResponse response;
  response.status = 503;
  response.contentType = "application/json; charset=utf-8";
  response.body = "{\"error\":\"The service is busy. Please try again.\"}";
  response.headers = {{"Retry-After", "1"}, {"X-Content-Type-Options", "nosniff"}};
  return response;
}

void runSlowRequests() {
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), slowWorkerNice);  // this thread only, on Linux
  std::unique_lock<std::mutex> lock(slowMutex);
  for (;;) {
    slowReady.wait(lock, [] { return slowStopping || !slowJobs.empty(); });
    if (slowJobs.empty()) return;
    SlowJob job = slowJobs.front();
    slowJobs.erase(slowJobs.begin());
    bool stopping = slowStopping;
    lock.unlock();
    job.pending->answer = stopping ? unavailable() : job.handler(job.pending->request);
    MHD_resume_connection(job.connection);
    lock.lock();
  }
}

void startSlowWorker() {
  std::lock_guard<std::mutex> lock(slowMutex);
  if (slowWorker.joinable()) return;
  slowStopping = false;
  slowWorker = std::thread(runSlowRequests);
}

// Answers what is queued with 503 and ends the worker; no request is
// suspended afterwards, which stopping a daemon requires.
void stopSlowWorker() {
  {
    std::lock_guard<std::mutex> lock(slowMutex);
    slowStopping = true;
  }
  slowReady.notify_all();
  if (slowWorker.joinable()) slowWorker.join();
}

// Hands the request to the worker; false when the queue is full or stopping.
bool enqueueSlow(MHD_Connection* connection, PendingRequest* pending, RequestHandler handler) {
  std::lock_guard<std::mutex> lock(slowMutex);
  if (slowStopping || !slowWorker.joinable() || slowJobs.size() >= maxWaitingSlowRequests) return false;
  pending->suspended = true;
  MHD_suspend_connection(connection);
  slowJobs.push_back(SlowJob{connection, pending, handler});
  slowReady.notify_one();
  return true;
}

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

bool startsWithCaseless(const char* text, const char* prefix) { return ::strncasecmp(text, prefix, std::strlen(prefix)) == 0; }

MHD_Result readHeader(void* context, MHD_ValueKind, const char* name, const char* value) {
  auto& request = *static_cast<HttpRequest*>(context);
  std::string text = value ? value : "";
  if (::strcasecmp(name, "Host") == 0) {
    request.host = text;
  } else if (::strcasecmp(name, "Origin") == 0) {
    request.hasOrigin = true;
    request.origin = text;
  } else if (::strcasecmp(name, "Cookie") == 0) {
    request.hasCookie = true;
    request.cookie += request.cookie.empty() ? text : "; " + text;
  } else if (startsWithCaseless(name, "Sec-Fetch-")) {
    request.hasFetchMetadata = true;
    if (::strcasecmp(name, "Sec-Fetch-Site") == 0) request.secFetchSite = text;
  }
  return MHD_YES;
}

std::string clientAddress(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (info == nullptr || info->client_addr == nullptr) return "";
  char text[INET6_ADDRSTRLEN] = {};
  const sockaddr* peer = info->client_addr;
  if (peer->sa_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(peer)->sin_addr, text, sizeof text);
  } else if (peer->sa_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(peer)->sin6_addr, text, sizeof text);
  }
  return text;
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

MHD_Result handleConnection(void* daemonContext, MHD_Connection* connection, const char*, const char* method,
                            const char*, const char* uploadData, size_t* uploadSize, void** context) {
  auto* pending = static_cast<PendingRequest*>(*context);
  if (pending == nullptr) return MHD_NO;
  const auto& daemon = *static_cast<const DaemonContext*>(daemonContext);
  HttpRequest& request = pending->request;
  if (!pending->started) {
    pending->started = true;
    request.method = method;
    const char* type = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_TYPE);
    request.contentType = type ? type : "";
    MHD_get_connection_values(connection, MHD_HEADER_KIND, &readHeader, &request);
    request.clientAddress = clientAddress(connection);
    request.overTls = daemon.tls;
    return MHD_YES;
  }
  if (*uploadSize > 0) {
    if (request.body.size() + *uploadSize > maxRequestBodyBytes) {
      request.bodyTooLarge = true;
    } else {
      request.body.append(uploadData, *uploadSize);
    }
    *uploadSize = 0;
    return MHD_YES;
  }
  if (pending->suspended) return queueResponse(connection, pending->answer);  // resumed by the worker
  if (slowRequestTest != nullptr && slowRequestTest(request)) {
    return enqueueSlow(connection, pending, daemon.handler) ? MHD_YES : queueResponse(connection, unavailable());
  }
  return queueResponse(connection, daemon.handler(request));
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

namespace {

MHD_Daemon* startDaemon(int listener, DaemonContext& context, unsigned flags, const std::string& certificatePem,
                        const std::string& keyPem) {
  unsigned threadCount = std::clamp(std::thread::hardware_concurrency(), 1u, maxThreadCount);
  if (slowRequestTest != nullptr) startSlowWorker();
  bool tls = context.tls;
  // The key and certificate options come last and only for TLS: MHD_OPTION_END ends the list early otherwise.
  return MHD_start_daemon(flags | MHD_USE_AUTO_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME, 0, nullptr, nullptr,
                          &handleConnection, &context,
                          MHD_OPTION_LISTEN_SOCKET, listener,
                          MHD_OPTION_THREAD_POOL_SIZE, threadCount,
                          MHD_OPTION_CONNECTION_TIMEOUT, connectionTimeoutSeconds,
                          MHD_OPTION_LISTEN_BACKLOG_SIZE, listenBacklog,
                          MHD_OPTION_URI_LOG_CALLBACK, &beginRequest, nullptr,
                          MHD_OPTION_NOTIFY_COMPLETED, &endRequest, nullptr,
                          tls ? MHD_OPTION_HTTPS_MEM_KEY : MHD_OPTION_END, keyPem.c_str(),
                          MHD_OPTION_HTTPS_MEM_CERT, certificatePem.c_str(),
                          MHD_OPTION_END);
}

}  // namespace

bool startHttpServer(int listener, RequestHandler handler, std::string& error) {
  plainContext.handler = handler;
  httpDaemon = startDaemon(listener, plainContext, 0, "", "");
  if (httpDaemon == nullptr) {
    error = "the HTTP server could not start";
    ::close(listener);
    return false;
  }
  return true;
}

bool startTlsServer(int listener, RequestHandler handler, const std::string& certificatePem, const std::string& keyPem,
                    std::string& error) {
  if (MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
    error = "this build of libmicrohttpd has no TLS support";
    ::close(listener);
    return false;
  }
  tlsContext.handler = handler;
  tlsDaemon = startDaemon(listener, tlsContext, MHD_USE_TLS, certificatePem, keyPem);
  if (tlsDaemon == nullptr) {
    error = "the HTTPS server could not start: the key does not match the certificate, or one of them is not valid PEM";
    ::close(listener);
    return false;
  }
  return true;
}

void setSlowRequestTest(bool (*isSlow)(const HttpRequest&)) { slowRequestTest = isSlow; }

void stopHttpServer() {
  stopSlowWorker();
  for (MHD_Daemon** daemon : {&httpDaemon, &tlsDaemon}) {
    if (*daemon == nullptr) continue;
    MHD_stop_daemon(*daemon);  // closes the listener too
    *daemon = nullptr;
  }
}
