// The host's own page: sessions that never cross with the desk's, the
// sign-in link by mail (against aiosmtpd), the live event stream, "On my
// way", and a deactivated member's session ending.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "alerts/alert_worker.h"
#include "host/host_events.h"
#include "loopback_server.h"
#include "store/clock.h"
#include "store/outbox.h"
#include "reception_client.h"
#include "reception_test_support.h"
#include "store/clock.h"
#include "store/staff.h"
#include "rules/invitation_entry.h"

namespace {

// Spelled out: cppcheck cannot read the 1s literal in some of these expressions.
constexpr std::chrono::seconds oneSecond{1};


using nlohmann::json;
using namespace std::chrono_literals;

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds most) {
  auto deadline = std::chrono::steady_clock::now() + most;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(50ms);
  }
  return condition();
}

std::string fileText(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// An open event stream read as it arrives.
struct StreamReader {
  ~StreamReader() {
    if (socket >= 0) ::close(socket);
  }
  bool open(const std::string& host, std::uint16_t port, const std::string& cookieLine, const std::string& source = "") {
    socket = ::socket(AF_INET, SOCK_STREAM, 0);
    if (!source.empty()) {
      sockaddr_in local{};
      local.sin_family = AF_INET;
      ::inet_pton(AF_INET, source.c_str(), &local.sin_addr);
      if (::bind(socket, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    if (::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return false;
    std::string request = "GET /api/me/events HTTP/1.1\r\nHost: " + host + "\r\nAccept: text/event-stream\r\n" +
                          cookieLine + "\r\n";
    return ::send(socket, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
  }
  // Reads until text holds needle (after from) or the time is up.
  bool waitFor(const std::string& needle, std::chrono::milliseconds most, std::size_t from = 0) {
    auto deadline = std::chrono::steady_clock::now() + most;
    while (text.find(needle, from) == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd ready{socket, POLLIN, 0};
      if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0) return false;
      char buffer[4096];
      ssize_t got = ::recv(socket, buffer, sizeof buffer, 0);
      if (got <= 0) return false;
      text.append(buffer, static_cast<std::size_t>(got));
    }
    return true;
  }
  int socket = -1;
  std::string text;
};

// A loopback HTTP server that answers each request 200 only after a pause,
// as a slow identity provider, mail or push server would.
class SlowServer {
 public:
  ~SlowServer() {
    stopping_ = true;
    if (acceptor_.joinable()) acceptor_.join();
    for (std::thread& answer : answers_) answer.join();
    if (listener_ >= 0) ::close(listener_);
  }
  bool start(std::chrono::milliseconds pause) {
    pause_ = pause;
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      return false;
    }
    port = ntohs(address.sin_port);
    acceptor_ = std::thread([this] {
      while (!stopping_) {
        pollfd ready{listener_, POLLIN, 0};
        if (::poll(&ready, 1, 50) <= 0) continue;
        int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        ++accepted;
        answers_.emplace_back([this, client] {
          char buffer[4096];
          (void)::recv(client, buffer, sizeof buffer, 0);
          std::this_thread::sleep_for(pause_);
          const char reply[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
          (void)::send(client, reply, sizeof reply - 1, MSG_NOSIGNAL);
          ::close(client);
        });
      }
    });
    return true;
  }
  std::uint16_t port = 0;
  std::atomic<int> accepted{0};

 private:
  int listener_ = -1;
  std::chrono::milliseconds pause_{0};
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::vector<std::thread> answers_;  // only the acceptor adds to it
};

class HostPageTest : public InProcessServiceTest {
 protected:
  void SetUp() override {
    InProcessServiceTest::SetUp();
    heartbeatIntervalMs = 300;
  }
  void TearDown() override {
    if (serving_) stopHttpServer();
    serving_ = false;
    stopHostEvents();
    stopHostMailer();
    heartbeatIntervalMs = 25000;
    InProcessServiceTest::TearDown();
  }

  // The Cookie line of a new host session for the member.
  static std::string hostCookie(std::int64_t staffId) {
    std::string token;
    EXPECT_EQ(startHostSession(staffId, "password", token), Outcome::ok);
    return "Cookie: vestibra_host=" + token + "\r\n";
  }
  RawReply as(const std::string& cookie, const std::string& method, const std::string& target,
              const std::string& body = "") {
    return send11(host_, port_, method, target, body, body.empty() ? "" : "application/json", cookie);
  }
};

TEST_F(HostPageTest, HostAndDeskSessionsNeverCrossAndARemovedMemberIsSignedOut) {
  startService();
  std::int64_t ann = addStaffMember("Ann", "Lee");
  std::int64_t bob = addStaffMember("Bob", "Ray");
  std::string host = hostCookie(ann);
  std::string desk = (get("/api/desk/session"), adminCookie_);
  struct Case {
    const char* who;
    const std::string& cookie;
    const char* method;
    const char* target;
    int status;
  };
  const std::string none;
  const Case cases[] = {
      {"host", host, "GET", "/api/me/session", 200},      {"host", host, "GET", "/api/desk/state", 403},
      {"host", host, "POST", "/api/desk/logout", 403},    {"host", host, "GET", "/api/desk/staff.csv", 403},
      {"desk", desk, "GET", "/api/me/session", 403},      {"desk", desk, "GET", "/api/me/contacts", 403},
      {"desk", desk, "GET", "/api/me/events", 403},       {"desk", desk, "GET", "/api/desk/state", 200},
      {"none", none, "GET", "/api/me/session", 401},      {"none", none, "GET", "/api/me/visits", 401},
      {"host", host, "GET", "/api/me/nothing-here", 404}, {"host", host, "DELETE", "/api/me/contacts", 405},
  };
  for (const Case& c : cases) {
    RawReply reply = as(c.cookie, c.method, c.target, std::string(c.method) == "POST" ? "{}" : "");
    EXPECT_EQ(reply.status, c.status) << c.who << " " << c.method << " " << c.target << ": " << reply.body;
  }
  EXPECT_EQ(json::parse(as(host, "GET", "/api/me/session").body)["name"], "Ann Lee");

  // Another host's guest is not this host's to acknowledge; its own is, once.
  std::int64_t bobsGuest = announce(bob, "Guest of Bob", "");
  std::int64_t annsGuest = announce(ann, "Guest of Ann", "");
  std::string acknowledge = "/api/me/notifications/";
  EXPECT_EQ(as(host, "POST", acknowledge + std::to_string(bobsGuest) + "/acknowledge", "{}").status, 404);
  EXPECT_EQ(as(host, "POST", acknowledge + std::to_string(annsGuest) + "/acknowledge", "{}").status, 200);
  EXPECT_EQ(as(host, "POST", acknowledge + std::to_string(annsGuest) + "/acknowledge", "{}").status, 404);
  json visits = json::parse(as(host, "GET", "/api/me/visits").body)["visits"];
  ASSERT_EQ(visits.size(), 1u);
  EXPECT_EQ(visits[0]["outcome"], "acknowledged");

  // Contacts as the desk checks them; then removal ends the session.
  EXPECT_EQ(as(host, "PUT", "/api/me/contacts", R"({"email": "not an address"})").status, 400);
  EXPECT_EQ(as(host, "PUT", "/api/me/contacts", R"({"email": "ann@example.com"})").status, 200);
  EXPECT_EQ(json::parse(as(host, "GET", "/api/me/contacts").body)["email"], "ann@example.com");
  EXPECT_EQ(send("DELETE", "/api/desk/staff/" + std::to_string(ann)).status, 200);
  EXPECT_EQ(as(host, "GET", "/api/me/session").status, 401);
}

TEST_F(HostPageTest, TheStreamSendsASnapshotThenEachChangeOfItsOwnHost) {
  startService();
  std::int64_t ann = addStaffMember("Ann", "Lee");
  std::int64_t bob = addStaffMember("Bob", "Ray");
  announce(ann, "Early Guest", "");
  StreamReader stream;
  ASSERT_TRUE(stream.open(host_, port_, hostCookie(ann)));
  ASSERT_TRUE(stream.waitFor("event: snapshot", 2s)) << stream.text;
  EXPECT_NE(stream.text.find("text/event-stream"), std::string::npos);
  EXPECT_NE(stream.text.find("Early Guest"), std::string::npos);
  std::size_t seen = stream.text.size();
  announce(bob, "Not Ann's Guest", "");
  std::int64_t late = announce(ann, "Late Guest", "by the window");
  ASSERT_TRUE(stream.waitFor("event: announced", oneSecond, seen)) << stream.text;
  EXPECT_TRUE(stream.waitFor("Late Guest", oneSecond, seen));
  EXPECT_EQ(stream.text.find("Not Ann's Guest"), std::string::npos);
  seen = stream.text.size();
  EXPECT_EQ(post("/api/desk/notifications/" + std::to_string(late) + "/archive", "{}").status, 200);
  EXPECT_TRUE(stream.waitFor("event: withdrawn", oneSecond, seen)) << stream.text;

  // Heartbeats keep it open; signed out everywhere, the stream is told and ends.
  EXPECT_TRUE(stream.waitFor(": still here", 2s, seen)) << stream.text;
  json signedOut = json::parse(post("/api/desk/staff/" + std::to_string(ann) + "/sign-out", "{}").body);
  EXPECT_EQ(signedOut["sessionsEnded"], 1);
  EXPECT_TRUE(stream.waitFor("event: signed-out", 2s, seen)) << stream.text;
}

// Two instances on one database (this process and a second service on the
// same SQLite file, or on the same PostgreSQL database under that label):
// what one commits reaches the other's open pages and polls within a
// second, far below the heartbeat, and a page opened there starts with it.
TEST_F(HostPageTest, ChangesOnEitherInstanceReachTheOthersStreamsAndPollsWithinASecond) {
  heartbeatIntervalMs = 25000;  // no heartbeat's session check can stand in for a change
  startService();
  std::int64_t ann = addStaffMember("Ann", "Lee");
  std::int64_t bob = addStaffMember("Bob", "Ray");
  ASSERT_EQ(get("/api/desk/session").status, 200);  // the admin's session, kept in the database, serves both
  ServiceProcess other;
  ASSERT_TRUE(other.start({"--listen", "127.0.0.1:0", "--database", database_}, directory_.path)) << other.output;
  auto there = [&](const std::string& target, const json& body) {
    return send11(other.host, other.port, "POST", target, body.dump(), "application/json", adminCookie_);
  };
  auto polledHere = [&](const std::string& twoWords) {
    std::string names = "&fn=" + twoWords.substr(0, twoWords.find(' ')) + "&ln=" + twoWords.substr(twoWords.find(' ') + 1);
    return get(std::string("/api/reception/getNotification?key=") + accessKey + names).body;
  };
  // The event of that type for that guest, within a second, after from.
  auto heard = [](StreamReader& stream, const std::string& type, const std::string& id, std::size_t from) {
    const std::string event = "event: " + type + "\n";
    const std::string guest = "\"id\":" + id + ",";
    auto found = [&] {
      for (std::size_t at = stream.text.find(event, from); at != std::string::npos; at = stream.text.find(event, at + 1)) {
        std::size_t end = stream.text.find("\n\n", at);
        if (end != std::string::npos && stream.text.substr(at, end - at).find(guest) != std::string::npos) return true;
      }
      return false;
    };
    auto deadline = std::chrono::steady_clock::now() + oneSecond;
    while (!found()) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      // Reads on to the end of the next event (one may have ended with the text so far).
      std::size_t tail = stream.text.empty() ? 0 : stream.text.size() - 1;
      if (left.count() <= 0 || !stream.waitFor("\n\n", left, tail)) return found();
    }
    return true;
  };
  StreamReader annHere, bobHere, annThere;
  ASSERT_TRUE(annHere.open(host_, port_, hostCookie(ann)));
  ASSERT_TRUE(bobHere.open(host_, port_, hostCookie(bob)));
  ASSERT_TRUE(annThere.open(other.host, other.port, hostCookie(ann)));
  for (StreamReader* stream : {&annHere, &bobHere, &annThere}) ASSERT_TRUE(stream->waitFor("event: snapshot", 2s)) << stream->text;
  EXPECT_EQ(polledHere("Ann Lee"), "");  // the poll's memory is built before the changes

  // Announce, reassign and withdraw on the other instance.
  RawReply announced = there("/api/desk/notifications", {{"staffId", ann}, {"guestName", "Guest-From-There"}});
  ASSERT_EQ(announced.status, 201) << announced.body;
  std::string first = std::to_string(json::parse(announced.body)["id"].get<std::int64_t>());
  EXPECT_TRUE(heard(annHere, "announced", first, 0)) << annHere.text;
  EXPECT_TRUE(waitUntil([&] { return polledHere("Ann Lee").find("Guest-From-There") != std::string::npos; }, oneSecond));
  std::size_t annSeen = annHere.text.size();
  std::size_t bobSeen = bobHere.text.size();
  RawReply moved = there("/api/desk/notifications/" + first + "/reassign", {{"staffId", bob}});
  ASSERT_EQ(moved.status, 201) << moved.body;
  std::string second = std::to_string(json::parse(moved.body)["id"].get<std::int64_t>());
  EXPECT_TRUE(heard(annHere, "reassigned", first, annSeen)) << annHere.text;
  EXPECT_TRUE(heard(bobHere, "announced", second, bobSeen)) << bobHere.text;
  EXPECT_TRUE(waitUntil([&] { return polledHere("Ann Lee").empty(); }, oneSecond));
  bobSeen = bobHere.text.size();
  ASSERT_EQ(there("/api/desk/notifications/" + second + "/archive", json::object()).status, 200);
  EXPECT_TRUE(heard(bobHere, "withdrawn", second, bobSeen)) << bobHere.text;
  EXPECT_TRUE(waitUntil([&] { return polledHere("Bob Ray").empty(); }, oneSecond));

  // Announced here: the other's open page hears it, and a page opened there
  // afterwards starts with it.
  std::size_t thereSeen = annThere.text.size();
  std::int64_t third = announce(ann, "Guest-From-Here", "");
  EXPECT_TRUE(heard(annThere, "announced", std::to_string(third), thereSeen)) << annThere.text;
  StreamReader annThereLater;
  ASSERT_TRUE(annThereLater.open(other.host, other.port, hostCookie(ann)));
  ASSERT_TRUE(annThereLater.waitFor("event: snapshot", 2s)) << annThereLater.text;
  EXPECT_NE(annThereLater.text.find("Guest-From-Here"), std::string::npos) << annThereLater.text;

  // Signed out everywhere, and removed, on the other instance: the member's pages here end at once.
  annSeen = annHere.text.size();
  bobSeen = bobHere.text.size();
  ASSERT_EQ(there("/api/desk/staff/" + std::to_string(ann) + "/sign-out", json::object()).status, 200);
  EXPECT_TRUE(annHere.waitFor("event: signed-out", oneSecond, annSeen)) << annHere.text;
  EXPECT_FALSE(bobHere.waitFor("signed-out", 300ms, bobSeen)) << "only the member's own pages end";
  ASSERT_EQ(send11(other.host, other.port, "DELETE", "/api/desk/staff/" + std::to_string(bob), "", "", adminCookie_).status,
            200);
  EXPECT_TRUE(bobHere.waitFor("event: signed-out", oneSecond, bobSeen)) << bobHere.text;
}

TEST_F(HostPageTest, StreamsHaveTheirOwnCapsPerAddressAndInAll) {
  settings_.maxEventStreams = 10;
  heartbeatIntervalMs = 25000;
  startService();
  std::int64_t ann = addStaffMember("Ann", "Lee");
  std::string cookie = hostCookie(ann);
  std::vector<std::unique_ptr<StreamReader>> streams;
  for (int i = 0; i < 8; ++i) {
    streams.push_back(std::make_unique<StreamReader>());
    ASSERT_TRUE(streams.back()->open(host_, port_, cookie));
    ASSERT_TRUE(streams.back()->waitFor("event: snapshot", 2s)) << i;
  }
  // The ninth from this address is refused; other requests of the address still pass.
  StreamReader ninth;
  ASSERT_TRUE(ninth.open(host_, port_, cookie));
  EXPECT_TRUE(ninth.waitFor("HTTP/1.1 429", 2s)) << ninth.text;
  EXPECT_EQ(as(cookie, "GET", "/api/me/session").status, 200);
  // Two tabs closed while their streams wait give their slots back at once,
  // not at the next heartbeat (25 s here).
  streams[0].reset();
  streams[1].reset();
  for (int i = 0; i < 2; ++i) {
    EXPECT_TRUE(waitUntil([&] {
      auto again = std::make_unique<StreamReader>();
      if (!again->open(host_, port_, cookie) || !again->waitFor("event: snapshot", 300ms)) return false;
      streams[static_cast<std::size_t>(i)] = std::move(again);
      return true;
    }, 2s)) << "reopening " << i;
  }
  // From another address: the total cap of 10.
  for (int i = 0; i < 3; ++i) {
    streams.push_back(std::make_unique<StreamReader>());
    ASSERT_TRUE(streams.back()->open(host_, port_, cookie, "127.0.0.2"));
    EXPECT_TRUE(streams.back()->waitFor(i < 2 ? "event: snapshot" : "HTTP/1.1 503", 2s)) << i << streams.back()->text;
  }
}

// Behind a load balancer, the addresses of one IPv6 /64 are one client for
// the streams' cap too, as for every other limit.
TEST_F(HostPageTest, StreamsFromOneIpv6NetworkShareOneAddressCap) {
  settings_.trustedProxies = {"127.0.0.1"};
  heartbeatIntervalMs = 25000;
  startService();
  std::string cookie = hostCookie(addStaffMember("Ann", "Lee"));
  auto from = [&](const std::string& client) { return cookie + "X-Forwarded-For: " + client + "\r\n"; };
  std::vector<std::unique_ptr<StreamReader>> streams;
  for (int i = 1; i <= 9; ++i) {
    streams.push_back(std::make_unique<StreamReader>());
    ASSERT_TRUE(streams.back()->open(host_, port_, from("2001:db8:1:2::" + std::to_string(i))));
    EXPECT_TRUE(streams.back()->waitFor(i <= 8 ? "event: snapshot" : "HTTP/1.1 429", 2s)) << i << streams.back()->text;
  }
  StreamReader otherNetwork;
  ASSERT_TRUE(otherNetwork.open(host_, port_, from("2001:db8:1:3::1")));
  EXPECT_TRUE(otherNetwork.waitFor("event: snapshot", 2s)) << otherNetwork.text;
}

TEST_F(HostPageTest, APersonalNotifierKeyReadsAndArchivesOnlyItsMembersGuests) {
  settings_.notifierKeys = NotifierKeys::personal;
  startService();
  std::int64_t ann = addStaffMember("Ann", "Lee");
  std::int64_t bob = addStaffMember("Bob", "Ray");
  std::int64_t annsGuest = announce(ann, "Guest of Ann", "");
  std::int64_t bobsGuest = announce(bob, "Guest of Bob", "");
  std::string cookie = hostCookie(ann);
  json notifier = json::parse(as(cookie, "GET", "/api/me/notifier").body);
  std::string key = notifier["key"];
  EXPECT_EQ(key.size(), 24u);
  EXPECT_EQ(json::parse(as(cookie, "GET", "/api/me/notifier").body)["key"], key) << "the same every time";
  EXPECT_NE(notifier["install"].get<std::string>().find("SERVICEKEY=" + key), std::string::npos);
  EXPECT_NE(json::parse(as(hostCookie(bob), "GET", "/api/me/notifier").body)["key"], key);

  auto notifierGet = [&](const std::string& query) { return getAs10(host_, port_, "/api/reception/" + query); };
  RawReply own = notifierGet("getNotification?key=" + key + "&fn=Ann&ln=Lee");
  EXPECT_EQ(own.status, 200);
  EXPECT_NE(own.body.find("Guest of Ann"), std::string::npos);
  RawReply other = notifierGet("getNotification?key=" + key + "&fn=Bob&ln=Ray");
  EXPECT_EQ(other.status, 200);
  EXPECT_EQ(other.body, "");
  EXPECT_EQ(notifierGet("listUsers?key=" + key).body, "Ann Lee,Bob Ray");
  EXPECT_EQ(notifierGet("archiveNotification?key=" + key + "&id=" + std::to_string(bobsGuest)).body, "0");
  EXPECT_EQ(notifierGet("archiveNotification?key=" + key + "&id=" + std::to_string(annsGuest)).body, "1");
  json board = state();
  for (const json& guest : board["notifications"]) {
    if (guest["id"] == bobsGuest) {
      EXPECT_TRUE(guest["deliveredAt"].is_null()) << "Bob's guest was never shown to Ann's notifier";
      EXPECT_TRUE(guest["archivedAt"].is_null());
    }
  }
  // With personal keys only, the shared key and a made-up key are refused.
  EXPECT_EQ(notifierGet("listUsers?key=" + std::string(accessKey)).status, 403);
  EXPECT_EQ(notifierGet("listUsers?key=abcdefghijkmnpqrstuvwxyz2").status, 403);

  // A leaked key is replaced by "New key", on the page or by IT in the staff
  // panel: the old one is refused at once, the new one works and is shown.
  std::string bobsKey = json::parse(as(hostCookie(bob), "GET", "/api/me/notifier").body)["key"];
  RawReply renewed = as(cookie, "POST", "/api/me/notifier/new-key", "{}");
  ASSERT_EQ(renewed.status, 200) << renewed.body;
  std::string newKey = json::parse(renewed.body)["key"];
  EXPECT_NE(newKey, key);
  EXPECT_NE(json::parse(renewed.body)["install"].get<std::string>().find("SERVICEKEY=" + newKey), std::string::npos);
  EXPECT_EQ(json::parse(as(cookie, "GET", "/api/me/notifier").body)["key"], newKey);
  EXPECT_EQ(notifierGet("listUsers?key=" + key).status, 403);
  EXPECT_EQ(notifierGet("listUsers?key=" + newKey).body, "Ann Lee,Bob Ray");
  std::string byDesk = json::parse(post("/api/desk/staff/" + std::to_string(bob) + "/notifier-key/new", "{}").body)["key"];
  EXPECT_NE(byDesk, bobsKey);
  EXPECT_EQ(json::parse(get("/api/desk/staff/" + std::to_string(bob) + "/notifier-key").body)["key"], byDesk);
  EXPECT_EQ(notifierGet("listUsers?key=" + bobsKey).status, 403);
  EXPECT_EQ(notifierGet("listUsers?key=" + byDesk).status, 200);
  EXPECT_EQ(json::parse(as(cookie, "GET", "/api/me/notifier").body)["key"], newKey) << "Ann's key is not Bob's business";
  EXPECT_EQ(post("/api/desk/staff/999999/notifier-key/new", "{}").status, 404);
  EXPECT_EQ(storedValue("SELECT count(*) FROM audit_log WHERE action = 'notifier-key-new'"), "2");
}

// A script behind one host session mails outside addresses: its writes are
// limited like the desk's, its mails capped per day, and each is audited.
TEST_F(HostPageTest, AHostsInvitationFloodIsLimitedMailCappedAndAudited) {
  settings_.hostWritesPerSecond = 2;
  settings_.host.invitationMailsPerDay = 3;
  settings_.host.visits.mailFrom = "desk@example.com";
  startService();
  std::int64_t ann = addStaffMember("Ann", "Lee");
  std::string cookie = hostCookie(ann);
  const std::string invitation = R"({"guestName": "Claim your prize", "guestEmail": "someone@example.net",
                                     "expectedOn": ")" + localDate(currentTimeMs()) + R"("})";
  // Sent as fast as it goes: the first 3 are mailed, the rest of the burst of
  // 10 refused by the daily cap, then the allowance answers with Retry-After.
  int created = 0;
  int capped = 0;
  std::string retryAfter;
  for (int i = 0; i < 40 && retryAfter.empty(); ++i) {
    RawReply reply = as(cookie, "POST", "/api/me/invitations", invitation);
    retryAfter = header(reply, "Retry-After");
    if (reply.status == 201) ++created;
    if (reply.status == 429 && retryAfter.empty()) {
      ++capped;
      EXPECT_NE(reply.body.find("most invitation mails allowed in a day (3)"), std::string::npos) << reply.body;
    }
  }
  EXPECT_EQ(created, 3);
  EXPECT_GE(capped, 7);
  EXPECT_EQ(retryAfter, "1");
  EXPECT_EQ(storedValue("SELECT count(*) FROM alert_outbox WHERE target = 'someone@example.net'"), "3");
  EXPECT_EQ(storedValue("SELECT count(*) FROM invitation"), "3");

  // Reading goes on meanwhile; once the allowance refills, a cancellation is
  // audited too, as each invitation was.
  std::string firstId = json::parse(as(cookie, "GET", "/api/me/invitations").body)["invitations"][0]["id"].dump();
  EXPECT_TRUE(waitUntil([&] { return as(cookie, "DELETE", "/api/me/invitations/" + firstId).status == 200; }, 3s));
  EXPECT_EQ(storedValue("SELECT count(*) FROM audit_log WHERE action = 'host-invite' AND account = 'Ann Lee' "
                        "AND detail LIKE '%Claim your prize, mailed'"), "3");
  EXPECT_EQ(storedValue("SELECT detail FROM audit_log WHERE action = 'host-invite-cancel'"), "invitation #" + firstId);
}

// The host's open page is a screen: a guest sent to it is seen (no unseen
// step), no "offline" alert goes out while the page is open, and a guest
// signed out leaves it. Once the page is closed, the offline alert is back.
TEST_F(HostPageTest, AnOpenPageIsAScreenUntilItIsClosed) {
  settings_.desk.policy = FrontDeskPolicy{500, 300000, 30};
  startService();
  LoopbackServer push({{httpResponse("ok")}});
  ASSERT_TRUE(push.listening());
  std::int64_t ann = addStaffMember("Ann", "Lee");
  ASSERT_EQ(setStaffContact(ann, StaffContact{"", "http://" + push.host() + "/push"}), Outcome::ok);
  AlertSettings alerts;
  alerts.targets.allowLoopback = true;
  alerts.publicUrl = "http://127.0.0.1/";
  alerts.policy = settings_.desk.policy;
  auto guestOf = [&](std::int64_t id) {
    json desk = state();
    for (const json& guest : desk["notifications"]) {
      if (guest["id"] == id) return guest;
    }
    return json();
  };
  {
    StreamReader page;
    ASSERT_TRUE(page.open(host_, port_, hostCookie(ann)));
    ASSERT_TRUE(page.waitFor("event: snapshot", 2s)) << page.text;
    std::int64_t seen = announce(ann, "Ada Lovelace", "");
    ASSERT_TRUE(page.waitFor("Ada Lovelace", 2s)) << page.text;
    ASSERT_TRUE(waitUntil([&] { return guestOf(seen)["seenOnPage"].is_number(); }, 3s)) << guestOf(seen);
    std::this_thread::sleep_for(600ms);  // past the unseen step's 500 ms
    json guest = guestOf(seen);
    EXPECT_EQ(guest["escalation"], "");
    EXPECT_TRUE(guest["screen"].is_null()) << "no notifier ever polled: " << guest;
    runAlertPass(alerts, currentTimeMs());
    EXPECT_TRUE(push.requests().empty()) << "Ann's notifier never polled, but her page is open";

    // Signed out while waiting: withdrawn, and gone from the page.
    json leaving = json::parse(
        post("/api/desk/notifications", json{{"staffId", ann}, {"guestName", "Leaving Guest"}}.dump()).body);
    std::size_t before = page.text.size();
    ASSERT_TRUE(page.waitFor("Leaving Guest", 2s, before)) << page.text;
    before = page.text.size();
    ASSERT_EQ(post("/api/desk/visits/" + leaving["visitId"].dump() + "/sign-out", "{}").status, 200);
    EXPECT_TRUE(page.waitFor("\"id\":" + leaving["id"].dump(), 2s, before)) << page.text;
    EXPECT_EQ(guestOf(leaving["id"])["archivedBy"], "signed out");
  }
  // The page closed: the host has no screen once its last renewal runs out.
  std::string openUntil = "SELECT page_open_until FROM staff WHERE id = " + std::to_string(ann);
  ASSERT_TRUE(waitUntil([&] { return std::stoll(storedValue(openUntil)) < currentTimeMs(); }, 5s));
  std::int64_t later = announce(ann, "Grace Hopper", "");
  runAlertPass(alerts, currentTimeMs());
  std::vector<std::string> sent = push.requests();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_NE(sent[0].find("Grace Hopper"), std::string::npos) << sent[0];
  EXPECT_TRUE(guestOf(later)["seenOnPage"].is_null());
}

const char* const python = "/usr/bin/python3";

// alert_servers.py as a child: aiosmtpd on a free port, mails appended to mail.jsonl.
struct MailServer {
  ~MailServer() {
    if (pid > 0) {
      ::kill(pid, SIGTERM);
      ::waitpid(pid, nullptr, 0);
    }
  }
  bool start(const std::filesystem::path& folder) {
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> ports(20000, 31999);
    for (int attempt = 0; attempt < 10; ++attempt) {
      smtpPort = ports(random);
      directory = folder;
      std::filesystem::path log = folder / "servers.log";
      std::filesystem::remove(log);
      pid = ::fork();
      if (pid == 0) {
        if (::freopen(log.c_str(), "w", stdout) == nullptr) ::_exit(126);
        ::execl(python, python, ALERT_SERVERS_SCRIPT, std::to_string(smtpPort).c_str(),
                std::to_string(smtpPort + 1).c_str(), folder.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
      }
      int status = 0;
      bool exited = false;
      bool ready = waitUntil([&] {
        if (::waitpid(pid, &status, WNOHANG) == pid) exited = true;
        return exited || fileText(log).find("ready") != std::string::npos;
      }, 15s);
      if (ready && !exited) return true;
      pid = -1;
      if (!exited || !WIFEXITED(status) || WEXITSTATUS(status) != 3) return false;
    }
    return false;
  }
  std::vector<std::string> mails() const {
    std::vector<std::string> found;
    std::istringstream lines(fileText(directory / "mail.jsonl"));
    for (std::string line; std::getline(lines, line);) {
      json mail = json::parse(line, nullptr, false);
      if (mail.is_object()) found.push_back(mail["content"]);
    }
    return found;
  }
  pid_t pid = -1;
  int smtpPort = 0;
  std::filesystem::path directory;
};

TEST_F(HostPageTest, ASignInLinkArrivesOnceWorksOnceAndTellsNothingOfUnknownAddresses) {
  if (std::system((std::string(python) + " -c 'import aiosmtpd' 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "python3-aiosmtpd is missing; run scripts/install-deps reception";
  }
  MailServer mail;
  ASSERT_TRUE(mail.start(directory_.path));
  settings_.host.smtp.url = "smtp://127.0.0.1:" + std::to_string(mail.smtpPort);
  settings_.host.smtp.requireTls = false;
  settings_.host.smtp.from = "desk@example.com";
  startService();
  settings_.host.publicUrl = "http://" + host_ + ":" + std::to_string(port_) + "/";
  configureService(settings_);
  std::int64_t ann = addStaffMember("Ann", "Lee");
  ASSERT_EQ(send("PUT", "/api/desk/staff/" + std::to_string(ann), R"({"email": "ann@example.com"})").status, 200);

  RawReply unknown = send11(host_, port_, "POST", "/api/me/sign-in-link", R"({"email": "nobody@example.com"})");
  RawReply known = send11(host_, port_, "POST", "/api/me/sign-in-link", R"({"email": "Ann@Example.com"})");
  EXPECT_EQ(unknown.status, 202);
  EXPECT_EQ(known.status, 202);
  EXPECT_EQ(unknown.body, known.body);
  ASSERT_TRUE(waitUntil([&] { return !mail.mails().empty(); }, 10s));
  std::this_thread::sleep_for(500ms);
  std::vector<std::string> mails = mail.mails();
  ASSERT_EQ(mails.size(), 1u) << "only the member's address gets a mail";
  std::size_t at = mails[0].find("/me/sign-in/");
  ASSERT_NE(at, std::string::npos) << mails[0];
  std::string path = mails[0].substr(at, std::string("/me/sign-in/").size() + 64);

  // GET (a mail scanner) changes nothing, however often; POST signs in, once.
  for (int i = 0; i < 2; ++i) {
    RawReply page = send11(host_, port_, "GET", path);
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.body.find("Sign in</button>"), std::string::npos);
    EXPECT_EQ(header(page, "Set-Cookie"), "");
  }
  // Another site's form cannot use the link to sign this browser in.
  RawReply crossSite = send11(host_, port_, "POST", path, "", "application/x-www-form-urlencoded",
                              "Sec-Fetch-Site: cross-site\r\nOrigin: null\r\n");
  EXPECT_EQ(crossSite.status, 403);
  RawReply signedIn = send11(host_, port_, "POST", path, "", "application/x-www-form-urlencoded",
                             "Sec-Fetch-Site: same-origin\r\nOrigin: null\r\n");
  EXPECT_EQ(signedIn.status, 303);
  std::string cookie = header(signedIn, "Set-Cookie");
  ASSERT_EQ(cookie.rfind("vestibra_host=", 0), 0u) << cookie;
  EXPECT_NE(cookie.find("HttpOnly"), std::string::npos);
  EXPECT_NE(cookie.find("SameSite=Lax"), std::string::npos);
  RawReply session = as("Cookie: " + cookie.substr(0, cookie.find(';')) + "\r\n", "GET", "/api/me/session");
  EXPECT_EQ(session.status, 200) << session.body;
  EXPECT_EQ(send11(host_, port_, "POST", path, "", "application/x-www-form-urlencoded").status, 410);
  EXPECT_EQ(send11(host_, port_, "GET", path).status, 410);

  // Asking again and again mails a few links, then none, with the same answer.
  for (int i = 0; i < maxLinksPerMember + 2; ++i) {
    RawReply again = send11(host_, port_, "POST", "/api/me/sign-in-link", R"({"email": "ann@example.com"})");
    EXPECT_EQ(again.body, known.body);
  }
  EXPECT_TRUE(waitUntil([&] { return mail.mails().size() == static_cast<std::size_t>(maxLinksPerMember); }, 10s));
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(mail.mails().size(), static_cast<std::size_t>(maxLinksPerMember));
}

// Calls to other servers have a lane of their own: three contact tests held
// up 3 s each by a slow push server (more of them than there are writer
// threads) delay neither a desk write nor a poll.
TEST_F(HostPageTest, ASlowPushServerHoldsUpNoDeskWriteNorPoll) {
  SlowServer slow;
  ASSERT_TRUE(slow.start(3s));
  settings_.host.alertTargets.allowLoopback = true;
  startService();
  std::int64_t ann = addStaffMember("Ann", "Lee");
  std::string host = hostCookie(ann);
  json contact = {{"alertUrl", "http://127.0.0.1:" + std::to_string(slow.port) + "/push"}};
  ASSERT_EQ(as(host, "PUT", "/api/me/contacts", contact.dump()).status, 200);

  std::vector<RawReply> tests(3);
  std::vector<std::thread> testers;
  for (RawReply& reply : tests) testers.emplace_back([&] { reply = as(host, "POST", "/api/me/contacts/test", "{}"); });
  // Two are as many as there are writer threads: a desk write on their lane would wait 3 s now.
  ASSERT_TRUE(waitUntil([&] { return slow.accepted >= 2; }, 5s)) << "the contact tests did not reach the push server";
  auto started = std::chrono::steady_clock::now();
  EXPECT_NE(announce(ann, "Ada", ""), 0);
  RawReply polled = getAs10(host_, port_, std::string("/api/reception/getNotification?key=") + accessKey + "&fn=Ann&ln=Lee");
  EXPECT_NE(polled.body.find("|Ada|"), std::string::npos) << polled.body;
  // A generous bound: waiting behind the push server would take 3 s.
  EXPECT_LT(std::chrono::steady_clock::now() - started, 1500ms) << "a desk write or poll waited for the push server";
  for (std::thread& tester : testers) tester.join();
  for (const RawReply& reply : tests) {
    EXPECT_EQ(reply.status, 200) << reply.body;
    EXPECT_NE(reply.body.find("\"push\""), std::string::npos) << reply.body;
  }
}

}  // namespace
