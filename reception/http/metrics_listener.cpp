#include "http/metrics_listener.h"

#include <microhttpd.h>
#include <unistd.h>

#include <cstring>

namespace {

// Scrapers are few: a handful of connections, one thread; one client
// holding idle connections leaves the rest to others.
constexpr unsigned maxMetricsConnections = 16;
constexpr unsigned metricsConnectionsPerAddress = 2;
constexpr unsigned connectionTimeoutSeconds = 10;  // idle connections are closed after it

MHD_Daemon* metricsDaemon = nullptr;
std::string (*renderMetrics)() = nullptr;
HttpResponse (*checkHealth)() = nullptr;
DeskOrigin metricsOrigin;

MHD_Result queueResponse(MHD_Connection* connection, const HttpResponse& answer) {
  MHD_Response* response =
      MHD_create_response_from_buffer(answer.body.size(), const_cast<char*>(answer.body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.contentType.c_str());
  for (const auto& header : answer.headers) MHD_add_response_header(response, header.first.c_str(), header.second.c_str());
  MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(answer.status), response);
  MHD_destroy_response(response);
  return queued;
}

HttpResponse metricsAnswer(const char* host, const char* path, const char* method) {
  HttpResponse answer;
  answer.contentType = "text/plain; charset=utf-8";
  bool health = std::strcmp(path, "/healthz") == 0;
  // A load balancer checks by the backend's address; the check tells nothing private.
  if (!health && (host == nullptr || !isServiceHost(host, metricsOrigin))) {
    answer.status = 421;
    answer.body = "This listener does not answer to that host name.\n";
  } else if (!health && std::strcmp(path, "/metrics") != 0) {
    answer.status = 404;
    answer.body = "Only /metrics and /healthz are served here.\n";
  } else if (std::strcmp(method, "GET") != 0 && std::strcmp(method, "HEAD") != 0) {
    answer.status = 405;
    answer.body = "Use GET.\n";
    answer.headers.emplace_back("Allow", "GET, HEAD");
  } else if (health) {
    answer = checkHealth();
  } else {
    answer.contentType = "text/plain; version=0.0.4; charset=utf-8";  // the Prometheus text format
    answer.body = renderMetrics();
  }
  return answer;
}

// Answers on the first call, with the headers: a scrape has no body, and any
// other request is refused before its body is read.
MHD_Result handleMetrics(void*, MHD_Connection* connection, const char* path, const char* method, const char*,
                         const char*, size_t*, void**) {
  const char* host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST);
  return queueResponse(connection, metricsAnswer(host, path, method));
}

}  // namespace

bool startMetricsServer(int listener, std::string (*render)(), HttpResponse (*health)(), const DeskOrigin& origin,
                        std::string& error) {
  renderMetrics = render;
  checkHealth = health;
  metricsOrigin = origin;
  metricsDaemon = MHD_start_daemon(MHD_USE_AUTO_INTERNAL_THREAD, 0, nullptr, nullptr, &handleMetrics, nullptr,
                                   MHD_OPTION_LISTEN_SOCKET, listener, MHD_OPTION_CONNECTION_LIMIT, maxMetricsConnections,
                                   MHD_OPTION_PER_IP_CONNECTION_LIMIT, metricsConnectionsPerAddress,
                                   MHD_OPTION_CONNECTION_TIMEOUT, connectionTimeoutSeconds, MHD_OPTION_END);
  if (metricsDaemon != nullptr) return true;
  error = "the metrics server could not start";
  ::close(listener);
  return false;
}

void stopMetricsServer() {
  if (metricsDaemon != nullptr) MHD_stop_daemon(metricsDaemon);
  metricsDaemon = nullptr;
}
