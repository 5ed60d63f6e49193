#include "http/server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <vector>

#include "http/forwarded_for.h"
#include "http/access_log.h"
#include "http/client_network.h"
#include "http/connection_slots.h"
#include "http/event_stream.h"
#include "http/fair_queue.h"
#include "http/header_rules.h"
#include "http/metrics_listener.h"
#include "http/work_queue.h"

namespace {

// One thread per core: more only switch and contend for the listener (a
// pool of 4 on 2 cores measured 20% slower under connection-per-request load).
constexpr unsigned maxThreadCount = 8;
constexpr unsigned connectionTimeoutSeconds = 10;
constexpr unsigned listenBacklog = 256;
// Connections in all: as many as the descriptors allow, less a reserve for
// the database and logs, and no more than this (each holds a 32 KB pool).
constexpr rlim_t maxTotalConnections = 4096;
constexpr rlim_t reservedDescriptors = 64;
constexpr unsigned roomWhileClosing = reservedDescriptors / 2;
// GnuTLS priorities: TLS 1.2 and 1.3 only, with forward secrecy (ECDHE)
// and authenticated encryption (GCM, ChaCha20-Poly1305); what current
// browsers offer, and nothing the old protocol attacks need.
constexpr char tlsPriorities[] =
    "SECURE128:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:-KX-ALL:+ECDHE-ECDSA:+ECDHE-RSA:-CIPHER-ALL:+AES-256-GCM:"
    "+AES-128-GCM:+CHACHA20-POLY1305:-MAC-ALL:+AEAD:-GROUP-ALL:+GROUP-EC-ALL:%SERVER_PRECEDENCE";
constexpr auto deadlineSweepInterval = std::chrono::milliseconds(250);
constexpr auto headersDeadline = std::chrono::seconds(headersDeadlineSeconds);
// Uploads at once, from their headers to their answer: each holds up to
// 2 MB while it arrives and waits for a writer.
constexpr unsigned maxUploadsAtOnce = 4;

// Which daemon called the access handler.
struct DaemonContext {
  bool tls = false;
};

MHD_Daemon* httpDaemon = nullptr;
MHD_Daemon* tlsDaemon = nullptr;
DaemonContext plainContext;
DaemonContext tlsContext{true};
// NOLINTNEXTLINE(cert-err58-cpp): its answers' texts are allocated at start; failing then ends the process anyway
HttpServerSetup serverSetup;

using Clock = std::chrono::steady_clock;

// One connection and the request it is receiving. Made when the connection
// is accepted and freed when it closes, so nothing a request leaves behind
// outlives its connection, whatever path the library took to drop it.
struct ConnectionState {
  int socket = -1;
  std::string address;  // the peer's, for the connection slots
  HttpRequest request;
  bool started = false;
  bool receiving = true;            // the deadline applies
  Clock::time_point receiveDeadline;  // for the whole request
  Clock::time_point headersDeadline;  // for its headers, while started is false
  bool holdsUploadSlot = false;
  RouteClass route;                    // decided when the headers arrived
  Clock::time_point requestStartedAt;  // its first line, for the answer's duration
  bool handedOff = false;              // suspended while a worker answers it
  std::optional<HttpResponse> answer;  // the worker's answer
  std::string protocol;                // "HTTP/1.1", for the access log
  bool streaming = false;              // answered with an event stream: it holds a stream slot instead
};

// Every open connection but the event streams, for the deadline sweep. A
// state leaves the set under the lock before the library closes its socket,
// so a socket the sweep shuts down is always still this connection's.
std::mutex connectionsMutex;
std::unordered_set<ConnectionState*> openConnections;
std::condition_variable sweepWakeUp;
bool sweepStopping = false;
std::thread deadlineSweep;

// Writes may wait for the database (another process's lock) for a while;
// they are answered on these threads, with the connection suspended
// meanwhile, so that no server thread, and none of the connections it
// serves, waits with them.
constexpr std::size_t writerThreadCount = 2;
constexpr std::size_t maxQueuedWrites = 256;
// Password hashing: one worker at nice 10 so that under load polls go
// first, one request waiting per address, shared fairly between addresses.
constexpr std::size_t maxQueuedLogins = 32;
constexpr int loginWorkerNice = 10;

// Made on first use, not at static initialisation.
WorkQueue& writers() {
  static WorkQueue queue(writerThreadCount, maxQueuedWrites);
  return queue;
}

// Requests that wait for another server (an identity provider, a mail or
// push server, the directory) for up to their calls' timeouts: a lane of
// their own, so that a slow one delays no write and no login.
constexpr std::size_t outboundThreadCount = 4;
constexpr std::size_t maxQueuedOutbound = 64;

WorkQueue& outboundWorkers() {
  static WorkQueue queue(outboundThreadCount, maxQueuedOutbound);
  return queue;
}

FairQueue& loginWorker() {
  static FairQueue queue(maxQueuedLogins, loginWorkerNice);
  return queue;
}
ConnectionSlots connectionSlots;
std::atomic<unsigned> uploadsReading{0};

MHD_Result queueResponse(MHD_Connection* connection, const HttpResponse& answer);

const HttpResponse& unavailable() { return serverSetup.answers.busy; }

void suspendForWorker(MHD_Connection* connection, ConnectionState& state) {
  state.handedOff = true;
  state.request.onWorker = true;
  MHD_suspend_connection(connection);
}

// Hands a request to a lane's workers with the connection suspended; false
// when the queue is full or stopped. A queued request is still answered
// when the service stops.
bool handOff(WorkQueue& workers, MHD_Connection* connection, ConnectionState& state) {
  auto answer = [connection, &state](bool) {
    state.answer = serverSetup.handler(state.request);
    MHD_resume_connection(connection);
  };
  return workers.push(answer, [connection, &state] { suspendForWorker(connection, state); });
}

// Hands a request to the password hasher with the connection suspended, or
// answers it at once: 429 when its address already has one waiting, 503 when
// the queue is full. One refused later (the service stops, or a fairer
// claim takes its place) is answered 503.
MHD_Result handOffLogin(MHD_Connection* connection, ConnectionState& state) {
  auto answer = [connection, &state](bool refused) {
    state.answer = refused ? unavailable() : serverSetup.handler(state.request);
    bool failed = state.answer->status >= 400;
    MHD_resume_connection(connection);
    return failed;
  };
  std::string network = clientNetwork(state.request.clientAddress);
  switch (loginWorker().push(network, answer, [connection, &state] { suspendForWorker(connection, state); })) {
    case FairQueue::Push::accepted: return MHD_YES;
    case FairQueue::Push::alreadyWaiting: return queueResponse(connection, serverSetup.answers.loginWaiting);
    case FairQueue::Push::full: break;
  }
  return queueResponse(connection, unavailable());
}

void releaseUploadSlot(ConnectionState& state) {
  if (!state.holdsUploadSlot) return;
  state.holdsUploadSlot = false;
  uploadsReading.fetch_sub(1);
}

bool takeUploadSlot(ConnectionState& state) {
  unsigned reading = uploadsReading.load();
  do {
    if (reading >= maxUploadsAtOnce) return false;
  } while (!uploadsReading.compare_exchange_weak(reading, reading + 1));
  state.holdsUploadSlot = true;
  return true;
}

void startReceiving(ConnectionState& state) {
  std::lock_guard<std::mutex> lock(connectionsMutex);
  state.receiving = true;
  Clock::time_point now = Clock::now();
  state.receiveDeadline = now + std::chrono::seconds(requestDeadlineSeconds);
  state.headersDeadline = now + headersDeadline;
}

void headersArrived(ConnectionState& state) {
  std::lock_guard<std::mutex> lock(connectionsMutex);
  state.started = true;
}

void stopReceiving(ConnectionState& state) {
  std::lock_guard<std::mutex> lock(connectionsMutex);
  state.receiving = false;
}

// Shuts down the sockets of requests past their deadline; the library then
// sees the connection end and cleans up as for any closed connection.
void sweepDeadlines() {
  std::unique_lock<std::mutex> lock(connectionsMutex);
  while (!sweepStopping) {
    sweepWakeUp.wait_for(lock, deadlineSweepInterval);
    Clock::time_point now = Clock::now();
    for (ConnectionState* state : openConnections) {
      bool late = now > state->receiveDeadline || (!state->started && now > state->headersDeadline);
      if (state->receiving && late) {
        ::shutdown(state->socket, SHUT_RDWR);
        state->receiving = false;
      }
    }
  }
}

// All slots are taken: the oldest request whose headers are still
// unfinished (a trickle, or an idle kept-alive connection) is closed to make
// room; false when there is none.
bool closeOldestUnfinished() {
  std::lock_guard<std::mutex> lock(connectionsMutex);
  ConnectionState* oldest = nullptr;
  for (ConnectionState* state : openConnections) {
    if (state->started || !state->receiving) continue;
    if (oldest == nullptr || state->headersDeadline < oldest->headersDeadline) oldest = state;
  }
  if (oldest == nullptr) return false;
  ::shutdown(oldest->socket, SHUT_RDWR);
  oldest->receiving = false;
  return true;
}

void trackConnection(void*, MHD_Connection* connection, void** socketContext, MHD_ConnectionNotificationCode code) {
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    auto* state = new ConnectionState;
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    state->socket = info ? info->connect_fd : -1;
    const MHD_ConnectionInfo* peer = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    const sockaddr* peerAddress = peer ? peer->client_addr : nullptr;
    state->address = addressText(peerAddress);
    connectionSlots.opened(state->address, endpointText(peerAddress));
    startReceiving(*state);
    *socketContext = state;
    std::lock_guard<std::mutex> lock(connectionsMutex);
    openConnections.insert(state);
    return;
  }
  auto* state = static_cast<ConnectionState*>(*socketContext);
  *socketContext = nullptr;
  if (state == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(connectionsMutex);
    openConnections.erase(state);
  }
  releaseUploadSlot(*state);
  if (!state->streaming) connectionSlots.closed(state->address);
  delete state;
}

ConnectionState* connectionState(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  return info ? static_cast<ConnectionState*>(info->socket_context) : nullptr;
}

std::size_t queryParameterCount(const std::string& target) {
  std::size_t question = target.find('?');
  if (question == std::string::npos) return 0;
  std::size_t end = target.find('#', question);
  std::string_view query = std::string_view(target).substr(question + 1, end == std::string::npos ? end : end - question - 1);
  std::size_t count = 0;
  while (!query.empty()) {
    std::size_t amp = query.find('&');
    if (amp != 0) ++count;  // empty pieces are no parameters
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
  }
  return count;
}

// libmicrohttpd stores every query parameter in the connection's 32 KB
// pool right after this callback; a few hundred overflow it, and the
// request is then dropped unanswered. An over-long query is cut off in the
// library's own line buffer (which it has not parsed yet, and which the
// callback runs on before it is modified) so that the request reaches the
// handler and is refused with 414 from the copy kept in the request.
void dropQuery(const char* uri) {
  const char* question = std::strchr(uri, '?');
  if (question != nullptr) const_cast<char*>(question)[1] = '\0';
}

// Called with the raw request target before MHD decodes it: the query is
// parsed by our own code, byte for byte. The request context is the
// connection's state, so this allocates nothing that could be left behind.
void* beginRequest(void*, const char* uri, MHD_Connection* connection) {
  ConnectionState* state = connectionState(connection);
  if (state == nullptr) return nullptr;
  state->request = HttpRequest{};
  state->request.target = uri ? uri : "";
  state->requestStartedAt = Clock::now();
  if (uri != nullptr && queryParameterCount(state->request.target) > maxQueryParameters) dropQuery(uri);
  return state;
}

// A request is done (answered or dropped): the next one on a kept-alive
// connection gets a deadline of its own.
void endRequest(void*, MHD_Connection*, void** context, MHD_RequestTerminationCode) {
  auto* state = static_cast<ConnectionState*>(*context);
  *context = nullptr;
  if (state == nullptr) return;
  releaseUploadSlot(*state);
  state->request = HttpRequest{};
  state->handedOff = false;
  state->answer.reset();
  {
    std::lock_guard<std::mutex> lock(connectionsMutex);
    state->started = false;
  }
  startReceiving(*state);
}

MHD_Result readHeader(void* context, MHD_ValueKind, const char* name, const char* value) {
  noteHeader(*static_cast<HttpRequest*>(context), name, value);
  return MHD_YES;
}

std::int64_t wallClockMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// Tells the service of an answer to a request of its own listeners (the
// metrics listener keeps no connection state, so its scrapes are not told).
void noteAnswer(MHD_Connection* connection, int status) {
  const ConnectionState* state = connectionState(connection);
  if (state == nullptr || serverSetup.answered == nullptr) return;
  std::chrono::duration<double> taken = Clock::now() - state->requestStartedAt;
  serverSetup.answered(state->request, status, taken.count());
}

void logAccess(MHD_Connection* connection, const HttpResponse& answer) {
  if (!accessLogOpen()) return;
  const ConnectionState* state = connectionState(connection);
  if (state == nullptr) return;
  const HttpRequest& request = state->request;
  const char* referer = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_REFERER);
  const char* agent = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_USER_AGENT);
  writeAccessLog(AccessEntry{request.clientAddress, wallClockMs(), request.method, request.target, state->protocol,
                             answer.status, answer.body.size(), referer ? referer : "", agent ? agent : ""});
}

// A stream's request is answered for good once its answer is queued: what
// was kept of it (headers, the service's context) is not held for the hours
// a page stays open.
void releaseStreamRequest(MHD_Connection* connection) {
  ConnectionState* state = connectionState(connection);
  if (state != nullptr) state->request = HttpRequest{};
}

// An event stream's connection gives its connection slot back: streams have slots of their own.
MHD_Response* streamResponse(MHD_Connection* connection, const HttpResponse& answer) {
  ConnectionState* state = connectionState(connection);
  if (state != nullptr && !state->streaming) {
    state->streaming = true;
    connectionSlots.closed(state->address);
    // Nor is it any business of the deadline sweep, which would otherwise
    // walk every open page four times a second under the connections' lock.
    std::lock_guard<std::mutex> lock(connectionsMutex);
    openConnections.erase(state);
  }
  MHD_Response* response = answer.stream->makeResponse(connection, answer.stream);
  if (response != nullptr) MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
  return response;
}

MHD_Result queueResponse(MHD_Connection* connection, const HttpResponse& answer) {
  noteAnswer(connection, answer.status);
  logAccess(connection, answer);
  MHD_Response* response =
      answer.stream ? streamResponse(connection, answer)
                    : MHD_create_response_from_buffer(answer.body.size(), const_cast<char*>(answer.body.data()),
                                                      MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  if (!answer.contentType.empty()) MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.contentType.c_str());
  for (const auto& header : answer.headers) MHD_add_response_header(response, header.first.c_str(), header.second.c_str());
  MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(answer.status), response);
  MHD_destroy_response(response);
  if (answer.stream) releaseStreamRequest(connection);
  return queued;
}

// A refusal of the HTTP layer's own; the connection closes, as the rest of
// the request is not read.
MHD_Result queueRefusal(MHD_Connection* connection, HttpResponse refusal) {
  refusal.headers.emplace_back(MHD_HTTP_HEADER_CONNECTION, "close");
  return queueResponse(connection, refusal);
}

// Whether the request says a body follows (which a refusal leaves unread).
bool declaresBody(MHD_Connection* connection) {
  const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
  const char* encoding = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING);
  return encoding != nullptr || (length != nullptr && std::strtoull(length, nullptr, 10) != 0);
}

// A declared body over the cap, refused before any of it is read (and so
// before a "100 Continue" could invite it).
bool declaresTooLargeBody(MHD_Connection* connection, std::size_t limit) {
  const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
  if (length == nullptr) return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long declared = std::strtoull(length, &end, 10);
  return errno == ERANGE || declared > limit;
}

// A refusal answered before the body is read; the connection then closes
// if a body was to follow, as it is not read.
MHD_Result queueEarlyRefusal(MHD_Connection* connection, ConnectionState& state, HttpResponse refusal) {
  stopReceiving(state);
  if (declaresBody(connection)) refusal.headers.emplace_back(MHD_HTTP_HEADER_CONNECTION, "close");
  return queueResponse(connection, refusal);
}

// The headers are in: note them, or refuse the request at once.
MHD_Result beginHandling(MHD_Connection* connection, ConnectionState& state, const char* method, const char* version,
                         bool overTls) {
  headersArrived(state);
  state.protocol = version ? version : "";
  HttpRequest& request = state.request;
  request.method = method;
  const char* type = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_TYPE);
  request.contentType = type ? type : "";
  MHD_get_connection_values(connection, MHD_HEADER_KIND, &readHeader, &request);
  request.clientAddress = forwardedClient(state.address, request.forwardedFor, serverSetup.trustedProxies);
  request.overTls = overTls;
  if (queryParameterCount(request.target) > maxQueryParameters) {
    if (serverSetup.refused != nullptr) serverSetup.refused(request, 414, "too many query parameters");
    stopReceiving(state);
    return queueRefusal(connection, serverSetup.answers.tooManyParameters);
  }
  // Everything the service needs to know of the request is decided here,
  // once; an upload is then read only while one of the upload slots is free.
  state.route = RouteClass{};
  HttpResponse refusal;
  bool refused = serverSetup.decide != nullptr && serverSetup.decide(request, state.route, refusal);
  if (declaresTooLargeBody(connection, state.route.bodyLimit)) {
    stopReceiving(state);
    return queueRefusal(connection, serverSetup.answers.tooLarge);
  }
  if (refused) return queueEarlyRefusal(connection, state, std::move(refusal));
  if (state.route.upload && !takeUploadSlot(state)) return queueEarlyRefusal(connection, state, unavailable());
  return MHD_YES;
}

MHD_Result handleConnection(void* daemonContext, MHD_Connection* connection, const char*, const char* method,
                            const char* version, const char* uploadData, size_t* uploadSize, void** context) {
  auto* state = static_cast<ConnectionState*>(*context);
  if (state == nullptr) return MHD_NO;
  if (state->handedOff) return state->answer ? queueResponse(connection, *state->answer) : MHD_YES;
  if (!state->started) {
    return beginHandling(connection, *state, method, version, static_cast<const DaemonContext*>(daemonContext)->tls);
  }
  HttpRequest& request = state->request;
  if (*uploadSize > 0) {
    // A chunked body has no length to refuse up front: it ends at the cap.
    // This libmicrohttpd takes no answer while a body is arriving, so the
    // refusal fails and the connection is closed instead of reading on.
    if (request.body.size() + *uploadSize > state->route.bodyLimit) {
      request.bodyTooLarge = true;
      stopReceiving(*state);
      return queueRefusal(connection, serverSetup.answers.tooLarge);
    }
    request.body.append(uploadData, *uploadSize);
    *uploadSize = 0;
    return MHD_YES;
  }
  stopReceiving(*state);
  HttpResponse refusal;
  if (serverSetup.screenBody != nullptr && serverSetup.screenBody(request, refusal)) {
    return queueResponse(connection, refusal);
  }
  switch (state->route.lane) {
    case Lane::login: return handOffLogin(connection, *state);
    case Lane::writer:
      // A full or stopped queue: answered here, within no wait budget.
      if (handOff(writers(), connection, *state)) return MHD_YES;
      break;
    case Lane::outbound:
      if (handOff(outboundWorkers(), connection, *state)) return MHD_YES;
      return queueResponse(connection, unavailable());
    case Lane::server: break;
  }
  return queueResponse(connection, serverSetup.handler(request));
}



// Raises the soft descriptor limit to the hard one; the connections that fit.
unsigned usableDescriptors() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1000;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    ::getrlimit(RLIMIT_NOFILE, &limit);
  }
  rlim_t usable = limit.rlim_cur > 2 * reservedDescriptors ? limit.rlim_cur - reservedDescriptors : reservedDescriptors;
  return static_cast<unsigned>(std::min<rlim_t>(usable, 1u << 20));
}

unsigned connectionCapacity() { return std::min(usableDescriptors(), static_cast<unsigned>(maxTotalConnections)); }

template <typename Function>
MHD_OptionItem callbackOption(MHD_OPTION option, Function function) {
  return MHD_OptionItem{option, reinterpret_cast<intptr_t>(function), nullptr};
}

// The options every listening daemon of this service shares: limits,
// deadlines and the callbacks that keep per-connection state.
std::vector<MHD_OptionItem> sharedDaemonOptions(int listener) {
  unsigned threadCount = std::clamp(std::thread::hardware_concurrency(), 1u, maxThreadCount);
  unsigned perAddress = std::max(serverSetup.maxConnectionsPerAddress, 1u);
  unsigned capacity = std::max(serverSetup.maxConnections != 0 ? serverSetup.maxConnections : connectionCapacity(), perAddress);
  connectionSlots.setCapacity(capacity, perAddress);
  // Event streams come on top, within what the descriptors allow.
  EventStreamLimits streams = eventStreamLimits();
  unsigned total = std::min(capacity + roomWhileClosing + streams.total,
                            std::max(usableDescriptors(), capacity + roomWhileClosing));
  // The daemon's own per-address limit leaves room for event streams; the
  // slots keep other connections to the configured one.
  perAddress += streams.perAddress;
  return {
      {MHD_OPTION_LISTEN_SOCKET, listener, nullptr},
      {MHD_OPTION_THREAD_POOL_SIZE, static_cast<intptr_t>(threadCount), nullptr},
      {MHD_OPTION_CONNECTION_TIMEOUT, connectionTimeoutSeconds, nullptr},
      {MHD_OPTION_LISTEN_BACKLOG_SIZE, listenBacklog, nullptr},
      // Beyond the slots: room for connections let in while the ones closed for
      // them wind down, and the event streams.
      {MHD_OPTION_CONNECTION_LIMIT, static_cast<intptr_t>(total), nullptr},
      {MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<intptr_t>(perAddress), nullptr},
      callbackOption(MHD_OPTION_NOTIFY_CONNECTION, &trackConnection),
      callbackOption(MHD_OPTION_URI_LOG_CALLBACK, &beginRequest),
      callbackOption(MHD_OPTION_NOTIFY_COMPLETED, &endRequest),
      {MHD_OPTION_END, 0, nullptr},
  };
}

// The accept policy: the last quarter of the slots is for addresses that
// hold few, and once all are taken a newcomer takes a slow request's slot.
MHD_Result admitPeer(void*, const sockaddr* peer, socklen_t) {
  std::string endpoint = endpointText(peer);
  switch (connectionSlots.reserve(addressText(peer), endpoint)) {
    case Admission::admit: return MHD_YES;
    case Admission::makeRoom:
      if (closeOldestUnfinished()) return MHD_YES;
      connectionSlots.cancelHold(endpoint);
      return MHD_NO;
    case Admission::refuse: break;
  }
  return MHD_NO;
}

MHD_Daemon* startDaemon(int listener, DaemonContext& context, unsigned flags, const std::string& certificatePem,
                        const std::string& keyPem) {
  std::vector<MHD_OptionItem> options = sharedDaemonOptions(listener);
  // The key and certificate options come last and only for TLS: MHD_OPTION_END ends the list early otherwise.
  return MHD_start_daemon(flags | MHD_USE_AUTO_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME, 0, &admitPeer, nullptr,
                          &handleConnection, &context, MHD_OPTION_ARRAY, options.data(),
                          context.tls ? MHD_OPTION_HTTPS_MEM_KEY : MHD_OPTION_END, keyPem.c_str(),
                          MHD_OPTION_HTTPS_MEM_CERT, certificatePem.c_str(), MHD_OPTION_HTTPS_PRIORITIES,
                          tlsPriorities, MHD_OPTION_END);
}

}  // namespace

bool startHttpServer(int listener, const HttpServerSetup& setup, std::string& error) {
  serverSetup = setup;
  loginWorker().setPreferred(setup.preferredLogin);
  loginWorker().start();
  writers().start();
  outboundWorkers().start();
  httpDaemon = startDaemon(listener, plainContext, 0, "", "");
  if (httpDaemon == nullptr) {
    error = "the HTTP server could not start";
    ::close(listener);
    loginWorker().stop();
    writers().stop();
    outboundWorkers().stop();
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(connectionsMutex);
    sweepStopping = false;
  }
  deadlineSweep = std::thread(sweepDeadlines);
  // Without it a closed page's stream still ends, at the next text sent to it.
  (void)watchEventStreamClients();
  return true;
}

bool startTlsServer(int listener, const std::string& certificatePem, const std::string& keyPem, std::string& error) {
  if (MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
    error = "this build of libmicrohttpd has no TLS support";
    ::close(listener);
    return false;
  }
  tlsDaemon = startDaemon(listener, tlsContext, MHD_USE_TLS, certificatePem, keyPem);
  if (tlsDaemon == nullptr) {
    error = "the HTTPS server could not start: the key does not match the certificate, or one of them is not valid PEM";
    ::close(listener);
    return false;
  }
  return true;
}


void stopHttpServer() {
  // Every suspended connection is answered and resumed before the daemons
  // stop; requests arriving meanwhile are answered in place.
  loginWorker().stop();
  writers().stop();
  outboundWorkers().stop();
  stopMetricsServer();
  // A suspended stream must be resumed before its daemon stops.
  closeAllEventStreams();
  if (httpDaemon == nullptr) return;
  for (MHD_Daemon** daemon : {&httpDaemon, &tlsDaemon}) {
    if (*daemon == nullptr) continue;
    MHD_stop_daemon(*daemon);  // closes the listener too
    *daemon = nullptr;
  }
  stopWatchingEventStreamClients();
  {
    std::lock_guard<std::mutex> lock(connectionsMutex);
    sweepStopping = true;
  }
  sweepWakeUp.notify_all();
  if (deadlineSweep.joinable()) deadlineSweep.join();
}
