// Two instances on one PostgreSQL database, one of them reaching it through
// a relay that, on command, stops forwarding while keeping every socket
// open: a switch that dies, as both ends see it (stopping the server is
// another fault: its sockets close). Runs on the postgresql label's server.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "reception_test_support.h"

namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A TCP relay on 127.0.0.1 to a loopback port. Held, it reads nothing from
// either side and accepts nobody: what was sent stays in the sockets'
// buffers, and flows on once it is released.
class Relay {
 public:
  ~Relay() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    for (auto& [client, server] : pairs_) {
      ::close(client);
      ::close(server);
    }
    if (listener_ >= 0) ::close(listener_);
  }
  bool start(int upstreamPort) {
    upstreamPort_ = upstreamPort;
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t size = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener_, 128) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      return false;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread(&Relay::run, this);
    return true;
  }
  void hold(bool held) { held_ = held; }
  int port() const { return port_; }

 private:
  static sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return address;
  }
  void acceptOne() {
    int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return;
    int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(upstreamPort_);
    if (::connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(client);
      ::close(server);
      return;
    }
    pairs_.emplace_back(client, server);
  }
  // Copies what is waiting on from to to; false when from has closed.
  static bool forward(int from, int to) {
    char buffer[65536];
    ssize_t got = ::read(from, buffer, sizeof buffer);
    if (got <= 0) return false;
    for (ssize_t sent = 0; sent < got;) {
      ssize_t wrote = ::send(to, buffer + sent, static_cast<std::size_t>(got - sent), MSG_NOSIGNAL);
      if (wrote <= 0) return false;
      sent += wrote;
    }
    return true;
  }
  void run() {
    while (!stopping_) {
      if (held_) {
        std::this_thread::sleep_for(20ms);
        continue;
      }
      std::vector<pollfd> sockets{{listener_, POLLIN, 0}};
      for (auto& [client, server] : pairs_) {
        sockets.push_back({client, POLLIN, 0});
        sockets.push_back({server, POLLIN, 0});
      }
      if (::poll(sockets.data(), sockets.size(), 20) <= 0) continue;
      std::vector<std::pair<int, int>> open;
      for (std::size_t at = 0; at < pairs_.size(); ++at) {
        auto [client, server] = pairs_[at];
        bool alive = (sockets[1 + 2 * at].revents == 0 || forward(client, server)) &&
                     (sockets[2 + 2 * at].revents == 0 || forward(server, client));
        if (alive) {
          open.emplace_back(client, server);
        } else {
          ::close(client);
          ::close(server);
        }
      }
      pairs_ = std::move(open);
      if ((sockets[0].revents & POLLIN) != 0) acceptOne();
    }
  }

  int listener_ = -1;
  int port_ = 0;
  int upstreamPort_ = 0;
  std::atomic<bool> held_{false};
  std::atomic<bool> stopping_{false};
  std::vector<std::pair<int, int>> pairs_;  // only the relay's thread touches them
  std::thread thread_;
};

// The URI with its host and port replaced by 127.0.0.1:port.
std::string throughPort(const std::string& uri, int port) {
  std::size_t host = uri.find('@') + 1;
  std::size_t path = uri.find('/', host);
  return uri.substr(0, host) + "127.0.0.1:" + std::to_string(port) + uri.substr(path);
}

int portOf(const std::string& uri) {
  std::size_t path = uri.find('/', uri.find('@'));
  return std::stoi(uri.substr(uri.rfind(':', path) + 1));
}

std::uint16_t metricsPortOf(const std::string& output) {
  const std::string prefix = "metrics at http://127.0.0.1:";
  std::size_t at = output.find(prefix);
  return at == std::string::npos ? 0 : static_cast<std::uint16_t>(std::stoi(output.substr(at + prefix.size())));
}

template <typename Condition>
bool within(std::chrono::milliseconds limit, Condition condition) {
  auto end = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(200ms);
  }
  return true;
}

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

class DatabaseOutage : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsOnPostgres()) GTEST_SKIP() << "two instances share a PostgreSQL database (CTest label postgresql)";
    std::string error;
    uri_ = database_.create(error);
    ASSERT_FALSE(uri_.empty()) << error;
    for (Relay& relay : relays_) ASSERT_TRUE(relay.start(portOf(uri_)));
  }
  void TearDown() override {
    for (Relay& relay : relays_) relay.hold(false);
    for (ServiceProcess& instance : instances_) instance.stop(SIGKILL);
    if (!uri_.empty()) database_.drop();
  }
  void start(int which, std::vector<std::string> arguments) {
    arguments.insert(arguments.end(), {"--listen", "127.0.0.1:0", "--metrics-listen", "127.0.0.1:0", "--key",
                                       "outageKey1", "--database", throughPort(uri_, relays_[which].port())});
    ASSERT_TRUE(instances_[which].start(arguments, directory_.path)) << instances_[which].output;
    if (cookie_.empty()) cookie_ = instances_[which].deskCookie;
  }
  RawReply desk(int which, const std::string& method, const std::string& target, const json& body = nullptr) {
    return send11(instances_[which].host, instances_[which].port, method, target, body.is_null() ? "" : body.dump(),
                  "application/json", cookie_);
  }
  RawReply notifier(int which, const std::string& request) {
    return getAs10(instances_[which].host, instances_[which].port, "/api/reception/" + request + "&key=outageKey1");
  }
  bool leads(int which) {
    RawReply metrics = send11("127.0.0.1", metricsPortOf(instances_[which].output), "GET", "/metrics");
    return metrics.status == 200 && metrics.body.find("\nvestibra_leader 1\n") != std::string::npos;
  }

  TemporaryDirectory directory_;
  TestPostgresDatabase database_;
  std::string uri_;
  std::string cookie_;
  Relay relays_[2];
  ServiceProcess instances_[2];
};

// Instance 0 leads; its database goes silent. Notifiers are answered from
// memory, everything that needs the database 503 within 5 s, the metrics
// listener still answers; it stops leading and instance 1 leads within 30 s.
// Released, the same process answers normally again.
TEST_F(DatabaseOutage, ASilentDatabaseCosts503sNotTheNotifiersAndLeadershipMoves) {
  start(0, {"--demo"});
  ASSERT_TRUE(within(10s, [&] { return leads(0); }));
  start(1, {});
  json staff;
  json deskState = json::parse(desk(0, "GET", "/api/desk/state").body);
  for (const json& member : deskState["staff"]) {
    if (member["displayName"] == "Anna Schmidt") staff = member;
  }
  ASSERT_TRUE(staff.is_object());
  RawReply announced = desk(0, "POST", "/api/desk/notifications", {{"staffId", staff["id"]}, {"guestName", "Ada"}});
  ASSERT_EQ(announced.status, 201) << announced.body;
  const std::string poll = "getNotification?fn=Anna&ln=Schmidt";
  ASSERT_NE(notifier(0, poll).body.find("|Ada|"), std::string::npos);
  // The first poll has Ada's delivery written, a change the next poll reads: then all is at rest.
  std::this_thread::sleep_for(1500ms);
  ASSERT_NE(notifier(0, poll).body.find("|Ada|"), std::string::npos);
  ASSERT_NE(notifier(0, "listUsers?x=1").body.find("Schmidt"), std::string::npos);
  EXPECT_FALSE(leads(1));

  relays_[0].hold(true);
  Clock::time_point cut = Clock::now();
  struct Answer {
    int status = 0;
    bool retryAfter = false;
    double seconds = 0;
  };
  // Six desk reads at once, each waiting on the database until it gives up.
  std::vector<Answer> reads(6);
  std::vector<std::thread> readers;
  for (Answer& answer : reads) {
    readers.emplace_back([&] {
      Clock::time_point sent = Clock::now();
      RawReply reply = desk(0, "GET", "/api/desk/state");
      answer = Answer{reply.status, !header(reply, "Retry-After").empty(), secondsSince(sent)};
    });
  }
  // Meanwhile notifiers at rest: answered from memory (a generous bound: the
  // client's own limit is 10 s).
  for (int round = 0; round < 10; ++round) {
    for (const std::string& request : {poll, std::string("listUsers?x=1")}) {
      Clock::time_point sent = Clock::now();
      RawReply reply = notifier(0, request);
      EXPECT_EQ(reply.status, 200) << request;
      EXPECT_LT(secondsSince(sent), 1.5) << request << " waited on the database";
      EXPECT_NE(reply.body.find(request == poll ? "|Ada|" : "Schmidt"), std::string::npos) << reply.body;
    }
    std::this_thread::sleep_for(100ms);
  }
  for (std::thread& reader : readers) reader.join();
  for (const Answer& answer : reads) {
    EXPECT_EQ(answer.status, 503);
    EXPECT_TRUE(answer.retryAfter);
    EXPECT_LT(answer.seconds, 5.0);
  }
  const ServiceProcess& cutOff = instances_[0];
  std::vector<std::pair<std::string, std::function<RawReply()>>> needsDatabase = {
      {"/healthz", [&] { return send11(cutOff.host, cutOff.port, "GET", "/healthz"); }},
      {"a desk write", [&] { return desk(0, "POST", "/api/desk/notifications", {{"staffId", 1}, {"guestName", "Bo"}}); }},
      {"an archive", [&] { return notifier(0, "archiveNotification?id=1"); }},
      {"the metrics' /healthz", [&] { return send11("127.0.0.1", metricsPortOf(cutOff.output), "GET", "/healthz"); }},
  };
  for (auto& [what, send] : needsDatabase) {
    Clock::time_point sent = Clock::now();
    RawReply reply = send();
    EXPECT_EQ(reply.status, 503) << what;
    EXPECT_FALSE(header(reply, "Retry-After").empty()) << what;
    EXPECT_LT(secondsSince(sent), 5.0) << what;
  }

  EXPECT_TRUE(within(10s - std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - cut),
                     [&] { return !leads(0); }))
      << "the cut-off leader still leads (or its metrics listener does not answer)";
  EXPECT_TRUE(within(30s - std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - cut),
                     [&] { return leads(1); }))
      << "no other instance took over within 30 s";
  std::printf("cut-off leader replaced after %.1f s\n", secondsSince(cut));

  relays_[0].hold(false);
  EXPECT_TRUE(within(15s, [&] {
    return send11(instances_[0].host, instances_[0].port, "GET", "/healthz").status == 200;
  })) << "the instance did not recover without a restart";
  RawReply stored = desk(0, "POST", "/api/desk/notifications", {{"staffId", staff["id"]}, {"guestName", "Cy"}});
  EXPECT_EQ(stored.status, 201) << stored.body;
  EXPECT_NE(notifier(0, poll).body.find("|Cy|"), std::string::npos);
  EXPECT_EQ(desk(0, "GET", "/api/desk/state").status, 200);
  EXPECT_FALSE(leads(0) && leads(1));
}

}  // namespace
