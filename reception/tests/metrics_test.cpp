// GET /metrics on the --metrics-listen listener: what promtool accepts, and
// counters that move with the requests they count.
#include <signal.h>

#include <cstdio>
#include <fstream>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "reception_client.h"
#include "reception_test_support.h"

namespace {

using nlohmann::json;

// A sample's value by its name and labels as the text writes them; -1 when absent.
double sampleValue(const std::string& text, const std::string& key) {
  std::size_t at = text.find("\n" + key + " ");
  if (at == std::string::npos) return -1;
  return std::stod(text.substr(at + key.size() + 2));
}

// promtool's verdict on the text: its exit status, with its output.
int promtoolCheck(const std::filesystem::path& directory, const std::string& text, std::string& output) {
  std::filesystem::path file = directory / "metrics.txt";
  std::ofstream(file, std::ios::binary) << text;
  std::string command = "promtool check metrics < '" + file.string() + "' 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  return ::pclose(pipe);
}

std::uint16_t metricsPort(const std::string& output) {
  const std::string prefix = "metrics at http://127.0.0.1:";
  std::size_t at = output.find(prefix);
  return at == std::string::npos ? 0 : static_cast<std::uint16_t>(std::stoi(output.substr(at + prefix.size())));
}

}  // namespace

TEST(ReceptionMetrics, CountersMoveWithRequestsAndPromtoolAcceptsThem) {
  TemporaryDirectory directory;
  ServiceProcess service;
  ASSERT_TRUE(service.start({"--listen", "127.0.0.1:0", "--metrics-listen", "127.0.0.1:0", "--demo"}, directory.path))
      << service.output;
  std::uint16_t port = metricsPort(service.output);
  ASSERT_NE(port, 0) << service.output;
  auto scrape = [&] {
    RawReply reply = send11("127.0.0.1", port, "GET", "/metrics");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(header(reply, "Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
    return "\n" + reply.body;
  };
  std::string before = scrape();

  std::string password = demoPassword(service.output);
  EXPECT_NE(deskLogin(service.host, service.port, "reception", password), "");
  EXPECT_EQ(deskLogin(service.host, service.port, "reception", "not the password"), "");
  json staff;
  json desk = json::parse(send11(service.host, service.port, "GET", "/api/desk/state", "", "", service.deskCookie).body);
  for (const json& member : desk["staff"]) {
    if (member["displayName"] == "Anna Schmidt") staff = member;  // a name in plain ASCII, as the query sends it
  }
  ASSERT_TRUE(staff.is_object());
  std::string poll = std::string("/api/reception/getNotification?key=") + accessKey +
                     "&fn=" + staff["firstName"].get<std::string>() + "&ln=" + staff["lastName"].get<std::string>();
  EXPECT_EQ(getAs10(service.host, service.port, poll).status, 200);
  json guest = {{"staffId", staff["id"]}, {"guestName", "Ada Quillfeather"}, {"note", "Room 4"}};
  EXPECT_EQ(send11(service.host, service.port, "POST", "/api/desk/notifications", guest.dump(), "application/json",
                   service.deskCookie).status, 201);
  std::string after = scrape();

  auto moved = [&](const std::string& key) { return sampleValue(after, key) - std::max(sampleValue(before, key), 0.0); };
  EXPECT_EQ(moved("vestibra_logins_total{outcome=\"ok\"}"), 1);
  EXPECT_EQ(moved("vestibra_logins_total{outcome=\"wrong\"}"), 1);
  EXPECT_EQ(moved("vestibra_logins_total{outcome=\"throttled\"}"), 0);
  EXPECT_EQ(moved("vestibra_http_requests_total{api=\"notifier\",code=\"200\"}"), 1);
  EXPECT_EQ(moved("vestibra_http_requests_total{api=\"desk\",code=\"201\"}"), 1);
  EXPECT_EQ(moved("vestibra_http_requests_total{api=\"desk\",code=\"401\"}"), 1);
  EXPECT_EQ(moved("vestibra_http_request_duration_seconds_count{api=\"notifier\"}"), 1);
  EXPECT_EQ(moved("vestibra_http_request_duration_seconds_bucket{api=\"notifier\",le=\"+Inf\"}"), 1);
  EXPECT_EQ(moved("vestibra_guests_waiting"), 1);
  EXPECT_EQ(sampleValue(after, "vestibra_notifiers_online"), 1);
  EXPECT_EQ(sampleValue(after, "vestibra_database_busy_total"), 0);
  for (const std::string& secret : {std::string("Quillfeather"), staff["lastName"].get<std::string>(), std::string(accessKey)}) {
    EXPECT_EQ(after.find(secret), std::string::npos) << secret << " shows in the metrics";
  }
  EXPECT_EQ(sampleValue(after, "vestibra_leader"), 1) << "a lone process on its SQLite file leads";
  // The load balancers' health check, on both listeners, by any host name.
  for (std::uint16_t listener : {port, service.port}) {
    RawReply health = exchange("127.0.0.1", listener, "GET /healthz HTTP/1.0\r\nHost: lb-check\r\n\r\n");
    EXPECT_EQ(health.status, 200) << listener;
    EXPECT_EQ(health.body, "ok");
  }
  // Only /metrics and /healthz, and nothing of the desk, on that listener; no metrics on the service's.
  EXPECT_EQ(send11("127.0.0.1", port, "GET", "/api/desk/state", "", "", service.deskCookie).status, 404);
  EXPECT_EQ(send11("127.0.0.1", port, "POST", "/metrics", "{}").status, 405);
  EXPECT_EQ(send11(service.host, service.port, "GET", "/metrics").status, 404);

  // Only its own host names answer (a rebinding page has another), and one
  // client holding idle connections leaves the listener to other scrapers.
  EXPECT_EQ(exchange("127.0.0.1", port, "GET /metrics HTTP/1.0\r\nHost: rebound.example\r\n\r\n").status, 421);
  std::vector<int> idle;
  for (int i = 0; i < 16; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) idle.push_back(fd);
  }
  EXPECT_EQ(send11("127.0.0.1", port, "GET", "/metrics", "", "", "", "127.0.0.2").status, 200);
  for (int fd : idle) ::close(fd);

  for (const std::string& text : {before, after}) {
    std::string verdict;
    EXPECT_EQ(promtoolCheck(directory.path, text.substr(1), verdict), 0)
        << verdict << "(promtool comes with Debian's prometheus: scripts/install-deps reception)";
  }
}
