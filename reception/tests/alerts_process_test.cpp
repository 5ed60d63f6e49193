// Alerts end to end: the service as its own process against a real SMTP
// server (aiosmtpd) and a webhook receiver on loopback, both run by
// alert_servers.py: an invitation's mail with its QR code (kept through a mail
// server down and a kill -9), mail with the reply link, a push retried with one
// Idempotency-Key, the team step, the reply link stopping it, and an outbox
// that resumes after kill -9 without sending twice.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <sodium.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "alerts/alert_sender.h"
#include "reception_client.h"
#include "postgres_test_support.h"
#include "reception_test_support.h"

namespace {

using nlohmann::json;
using namespace std::chrono_literals;

const char* const python = "/usr/bin/python3";

std::string fileText(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::vector<json> jsonLines(const std::filesystem::path& path) {
  std::vector<json> lines;
  std::istringstream text(fileText(path));
  for (std::string line; std::getline(text, line);) {
    json entry = json::parse(line, nullptr, false);
    if (!entry.is_discarded()) lines.push_back(entry);
  }
  return lines;
}

// Polls the condition every 50 ms for at most the time given.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds most) {
  auto deadline = std::chrono::steady_clock::now() + most;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(50ms);
  }
  return condition();
}

// Whether a socket on 127.0.0.1 can have the port now.
bool portFree(int port) {
  int socket = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  bool free = socket >= 0 && ::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  if (socket >= 0) ::close(socket);
  return free;
}

// alert_servers.py as a child, on free ports from 20000-32000, or on the
// SMTP port given and the one after it.
struct AlertServers {
  ~AlertServers() {
    if (pid > 0) {
      ::kill(pid, SIGTERM);
      ::waitpid(pid, nullptr, 0);
    }
  }
  // A port where nothing listens yet, with the one after it free too, for start.
  static int unusedSmtpPort() {
    std::mt19937 random(std::random_device{}());
    for (int attempt = 0; attempt < 20; ++attempt) {
      int port = std::uniform_int_distribution<int>(20000, 31998)(random);
      if (portFree(port) && portFree(port + 1)) return port;
    }
    return 0;
  }
  bool start(const std::filesystem::path& folder, int givenSmtpPort = 0) {
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> ports(20000, 31999);
    for (int attempt = 0; attempt < 10; ++attempt) {
      smtpPort = givenSmtpPort != 0 ? givenSmtpPort : ports(random);
      hookPort = smtpPort + 1;
      directory = folder;
      std::filesystem::path log = folder / "servers.log";
      std::filesystem::remove(log);
      pid = ::fork();
      if (pid == 0) {
        std::string script = std::string(ALERT_SERVERS_SCRIPT);
        if (::freopen(log.c_str(), "w", stdout) == nullptr) ::_exit(126);
        ::execl(python, python, script.c_str(), std::to_string(smtpPort).c_str(), std::to_string(hookPort).c_str(),
                folder.c_str(), static_cast<char*>(nullptr));
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
      if (givenSmtpPort != 0 || !exited || !WIFEXITED(status) || WEXITSTATUS(status) != 3) return false;  // 3: a port in use
    }
    return false;
  }
  std::vector<json> mails() const { return jsonLines(directory / "mail.jsonl"); }
  std::vector<json> hooks(const std::string& path) const {
    std::vector<json> matching;
    for (const json& hook : jsonLines(directory / "hooks.jsonl")) {
      if (hook["path"] == path) matching.push_back(hook);
    }
    return matching;
  }

  pid_t pid = -1;
  int smtpPort = 0;
  int hookPort = 0;
  std::filesystem::path directory;
};

bool aiosmtpdInstalled() {
  return std::system((std::string(python) + " -c 'import aiosmtpd' 2>/dev/null").c_str()) == 0;
}

RawReply deskSend(const ServiceProcess& service, const std::string& method, const std::string& target, const json& body) {
  return send11(service.host, service.port, method, target, body.dump(), "application/json", service.deskCookie);
}

std::int64_t announce(const ServiceProcess& service, std::int64_t host, const std::string& guest) {
  RawReply reply = deskSend(service, "POST", "/api/desk/notifications", {{"staffId", host}, {"guestName", guest}});
  EXPECT_EQ(reply.status, 201) << reply.body;
  return json::parse(reply.body, nullptr, false).value("id", std::int64_t{0});
}

// The path of the reply link in a mail about the guest.
std::string replyPath(const std::vector<json>& mails, const std::string& guest) {
  for (const json& mail : mails) {
    std::string content = mail["content"];
    if (content.find(guest) == std::string::npos) continue;
    std::size_t at = content.find("/ack/");
    if (at != std::string::npos) return content.substr(at, 5 + 43);
  }
  return "";
}

int countWithGuest(const std::vector<json>& hooks, const std::string& guest, int status) {
  int count = 0;
  for (const json& hook : hooks) {
    if (hook["status"] == status && json::parse(hook["body"].get<std::string>())["guest"] == guest) ++count;
  }
  return count;
}

TEST(AlertsProcess, MailPushTeamStepReplyLinkAndRestart) {
  if (!aiosmtpdInstalled()) GTEST_SKIP() << "python3-aiosmtpd is missing; run scripts/install-deps reception";
  TemporaryDirectory directory;
  AlertServers servers;
  ASSERT_TRUE(servers.start(directory.path)) << fileText(directory.path / "servers.log");
  std::string hookBase = "http://127.0.0.1:" + std::to_string(servers.hookPort);
  std::vector<std::string> arguments = {"--listen", "127.0.0.1:0", "--demo", "--alert-allow-loopback",
      "--smtp-url", "smtp://127.0.0.1:" + std::to_string(servers.smtpPort), "--smtp-tls", "none",
      "--smtp-from", "desk@example.com", "--team-webhook", hookBase + "/team", "--escalate-after-unacknowledged", "8"};
  ServiceProcess service;
  ASSERT_TRUE(service.start(arguments, directory.path)) << service.output;
  RawReply added = deskSend(service, "POST", "/api/desk/staff",
                            {{"name", "Hanna Host"}, {"email", "hanna@example.com"}, {"alertUrl", hookBase + "/flaky-push"}});
  ASSERT_EQ(added.status, 201) << added.body;
  std::int64_t host = json::parse(added.body)["id"];

  // Hanna's notifier never polled: the host step at the announcement.
  std::int64_t ada = announce(service, host, "Ada Lovelace");
  ASSERT_TRUE(waitUntil([&] { return !servers.mails().empty(); }, 10s)) << "no mail arrived";
  json mail = servers.mails()[0];
  EXPECT_EQ(mail["from"], "desk@example.com");
  EXPECT_EQ(mail["to"], json::array({"hanna@example.com"}));
  std::string content = mail["content"];
  EXPECT_NE(content.find("Subject: Guest waiting: Ada Lovelace\r\n"), std::string::npos) << content;
  EXPECT_NE(content.find("\r\nMessage-ID: <"), std::string::npos);
  EXPECT_EQ(content.find("Date: "), 0u);
  EXPECT_FALSE(replyPath(servers.mails(), "Ada Lovelace").empty());

  // The push: 500, then the retry after 5 s with the same key.
  ASSERT_TRUE(waitUntil([&] { return servers.hooks("/flaky-push").size() >= 2; }, 12s));
  std::vector<json> pushes = servers.hooks("/flaky-push");
  EXPECT_EQ(pushes[0]["status"], 500);
  EXPECT_EQ(pushes[1]["status"], 200);
  EXPECT_EQ(pushes[0]["key"], pushes[1]["key"]);
  EXPECT_EQ(pushes[0]["type"], "application/json");
  EXPECT_NE(fileText(service.logPath).find(" push to " + hookBase + ": attempt 1 failed: the push address answered 500, "
                                           "next attempt in 5 s"),
            std::string::npos) << "every failed attempt in the service log";

  // A second guest, acknowledged through the mail's link before the team step.
  std::int64_t grace = announce(service, host, "Grace Hopper");
  ASSERT_TRUE(waitUntil([&] { return !replyPath(servers.mails(), "Grace Hopper").empty(); }, 10s));
  std::string link = replyPath(servers.mails(), "Grace Hopper");
  EXPECT_EQ(send11(service.host, service.port, "GET", link).status, 200);
  RawReply acknowledged = send11(service.host, service.port, "POST", link, "", "application/x-www-form-urlencoded");
  EXPECT_EQ(acknowledged.status, 200);

  // The team step for Ada, 8 s after her announcement; none for Grace.
  ASSERT_TRUE(waitUntil([&] { return countWithGuest(servers.hooks("/team"), "Ada Lovelace", 200) == 1; }, 15s));
  json teamBody = json::parse(servers.hooks("/team")[0]["body"].get<std::string>());
  EXPECT_EQ(teamBody["host"], "Hanna Host");
  EXPECT_GE(teamBody["waitingSeconds"].get<int>(), 8);
  EXPECT_NE(teamBody["text"].get<std::string>().find("Ada Lovelace"), std::string::npos);
  std::this_thread::sleep_for(3s);  // Grace's team step would have been due by now
  EXPECT_EQ(countWithGuest(servers.hooks("/team"), "Grace Hopper", 200), 0);
  RawReply stateReply = deskSend(service, "GET", "/api/desk/state", nullptr);
  json state = json::parse(stateReply.body);
  for (const json& guest : state["notifications"]) {
    if (guest["id"] == grace) {
      EXPECT_EQ(guest["archivedBy"], "reply");
    }
    if (guest["id"] == ada) {
      ASSERT_EQ(guest["alerts"].size(), 3u) << guest.dump();
      EXPECT_EQ(guest["alerts"][0]["channel"], "email");
      EXPECT_EQ(guest["alerts"][1]["channel"], "push");
      EXPECT_EQ(guest["alerts"][1]["state"], "sent");
      EXPECT_EQ(guest["alerts"][1]["attempts"], 2);
      EXPECT_EQ(guest["alerts"][2]["channel"], "team-webhook");
    }
  }

  // kill -9 while a retry is pending; after the restart it is sent once.
  ASSERT_EQ(deskSend(service, "PUT", "/api/desk/staff/" + std::to_string(host), {{"alertUrl", hookBase + "/flaky-kill"}})
                .status, 200);
  announce(service, host, "Katherine Johnson");
  ASSERT_TRUE(waitUntil([&] { return servers.hooks("/flaky-kill").size() == 1; }, 10s));
  service.stop(SIGKILL);
  ServiceProcess restarted;
  ASSERT_TRUE(restarted.start(arguments, directory.path)) << restarted.output;
  ASSERT_TRUE(waitUntil([&] { return servers.hooks("/flaky-kill").size() >= 2; }, 12s));
  std::this_thread::sleep_for(6s);  // time for a second delivery, were there one
  std::vector<json> killed = servers.hooks("/flaky-kill");
  ASSERT_EQ(killed.size(), 2u);
  EXPECT_EQ(killed[1]["status"], 200);
  EXPECT_EQ(killed[0]["key"], killed[1]["key"]);
  std::vector<json> earlier = servers.hooks("/flaky-push");
  EXPECT_EQ(earlier.size(), 3u) << "nothing already sent is sent again";
  EXPECT_EQ(countWithGuest(earlier, "Ada Lovelace", 200), 1);
  EXPECT_EQ(countWithGuest(earlier, "Grace Hopper", 200), 1);
  EXPECT_EQ(servers.mails().size(), 3u) << "one mail per guest";
}

json deskGuest(const ServiceProcess& service, std::int64_t id) {
  json state = json::parse(deskSend(service, "GET", "/api/desk/state", nullptr).body, nullptr, false);
  for (const json& guest : state.value("notifications", json::array())) {
    if (guest["id"] == id) return guest;
  }
  return nullptr;
}

// The notifier shows one guest at a time: the two behind the shown one are
// queued, not on screen, and their host is alerted as for unseen guests.
TEST(AlertsProcess, GuestsQueuedBehindTheShownOneAreAlertedAsUnseen) {
  if (!aiosmtpdInstalled()) GTEST_SKIP() << "python3-aiosmtpd is missing; run scripts/install-deps reception";
  TemporaryDirectory directory;
  AlertServers servers;
  ASSERT_TRUE(servers.start(directory.path)) << fileText(directory.path / "servers.log");
  std::string hookBase = "http://127.0.0.1:" + std::to_string(servers.hookPort);
  ServiceProcess service;
  ASSERT_TRUE(service.start({"--listen", "127.0.0.1:0", "--demo", "--alert-allow-loopback", "--smtp-url",
                             "smtp://127.0.0.1:" + std::to_string(servers.smtpPort), "--smtp-tls", "none",
                             "--smtp-from", "desk@example.com", "--escalate-after-unseen", "2"},
                            directory.path)) << service.output;
  RawReply added = deskSend(service, "POST", "/api/desk/staff",
                            {{"name", "Hanna Host"}, {"email", "hanna@example.com"}, {"alertUrl", hookBase + "/push"}});
  ASSERT_EQ(added.status, 201) << added.body;
  std::int64_t host = json::parse(added.body)["id"];
  auto poll = [&] {
    return getAs10(service.host, service.port,
                   std::string("/api/reception/getNotification?key=") + accessKey + "&fn=Hanna&ln=Host").body;
  };
  poll();  // the notifier is online
  std::int64_t ids[] = {announce(service, host, "Ada Lovelace"), announce(service, host, "Grace Hopper"),
                        announce(service, host, "Alan Turing")};
  EXPECT_NE(poll().find("|Alan Turing|"), std::string::npos) << "all three delivered at once";
  ASSERT_TRUE(waitUntil([&] { return !deskGuest(service, ids[2])["deliveredAt"].is_null(); }, 5s));
  const std::pair<json, json> places[] = {{"shown", nullptr}, {"queued", 1}, {"queued", 2}};
  for (int i = 0; i < 3; ++i) {
    json guest = deskGuest(service, ids[i]);
    EXPECT_EQ(guest["screen"], places[i].first) << guest;
    EXPECT_EQ(guest["queuedBehind"], places[i].second) << guest;
  }

  // Past the 2 s: mail and push for the queued two, once each; none for the shown one.
  ASSERT_TRUE(waitUntil([&] { return servers.mails().size() >= 2 && servers.hooks("/push").size() >= 2; }, 10s));
  std::this_thread::sleep_for(2s);  // time for more, were any due
  std::vector<json> mails = servers.mails();
  std::vector<json> pushes = servers.hooks("/push");
  ASSERT_EQ(mails.size(), 2u);
  ASSERT_EQ(pushes.size(), 2u);
  for (const char* guest : {"Grace Hopper", "Alan Turing"}) {
    EXPECT_EQ(countWithGuest(pushes, guest, 200), 1) << guest;
    EXPECT_TRUE(mails[0]["content"].get<std::string>().find(guest) != std::string::npos ||
                mails[1]["content"].get<std::string>().find(guest) != std::string::npos) << guest;
    EXPECT_EQ(deskGuest(service, ids[guest[0] == 'G' ? 1 : 2])["escalation"], "unseen");
  }
  EXPECT_EQ(deskGuest(service, ids[0])["escalation"], "");

  // Close on the notifier: the next guest is shown, the last one moves up.
  EXPECT_EQ(getAs10(service.host, service.port, std::string("/api/reception/archiveNotification?key=") + accessKey +
                                                    "&id=" + std::to_string(ids[0])).body, "1");
  json next = deskGuest(service, ids[1]);
  EXPECT_EQ(next["screen"], "shown");
  EXPECT_EQ(next["escalation"], "") << "on screen now, and not yet unacknowledged";
  json last = deskGuest(service, ids[2]);
  EXPECT_EQ(last["screen"], "queued");
  EXPECT_EQ(last["queuedBehind"], 1);
}

// A listener on 127.0.0.1 that never accepts: connections complete in the
// kernel and then hear nothing. Closed with the object.
struct SilentServer {
  SilentServer() {
    std::mt19937 random(std::random_device{}());
    for (int attempt = 0; attempt < 10 && port == 0; ++attempt) {
      socket = ::socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      int candidate = std::uniform_int_distribution<int>(20000, 31999)(random);
      address.sin_port = htons(static_cast<std::uint16_t>(candidate));
      if (::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(socket, 64) == 0) {
        port = candidate;
      } else {
        ::close(socket);
        socket = -1;
      }
    }
  }
  ~SilentServer() {
    if (socket >= 0) ::close(socket);
  }
  SilentServer(const SilentServer&) = delete;
  SilentServer& operator=(const SilentServer&) = delete;
  int socket = -1;
  int port = 0;
};

// A mail server that never answers holds up neither the stop nor a push;
// the mail cut short stays due for the next start.
TEST(AlertsProcess, SilentMailServerHoldsUpNeitherStopNorPush) {
  if (!aiosmtpdInstalled()) GTEST_SKIP() << "python3-aiosmtpd is missing; run scripts/install-deps reception";
  TemporaryDirectory directory;
  AlertServers servers;
  ASSERT_TRUE(servers.start(directory.path));
  SilentServer silent;
  ASSERT_NE(silent.port, 0);
  ServiceProcess service;
  ASSERT_TRUE(service.start({"--listen", "127.0.0.1:0", "--demo", "--alert-allow-loopback", "--smtp-url", "smtp://127.0.0.1:" + std::to_string(silent.port),
                             "--smtp-tls", "none", "--smtp-from", "desk@example.com"}, directory.path)) << service.output;
  std::string push = "http://127.0.0.1:" + std::to_string(servers.hookPort) + "/push";
  ASSERT_EQ(deskSend(service, "PUT", "/api/desk/staff/1", {{"email", "anna@example.com"}, {"alertUrl", push}}).status, 200);
  announce(service, 1, "Ada Lovelace");
  ASSERT_TRUE(waitUntil([&] { return servers.hooks("/push").size() == 1; }, 5s)) << "the push waited for the mail";
  std::this_thread::sleep_for(1s);  // the mail's send under way
  auto stopping = std::chrono::steady_clock::now();
  EXPECT_TRUE(WIFEXITED(service.stop(SIGTERM)));
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, 5s) << "the stop waited for the mail server";
  ServiceProcess restarted;
  ASSERT_TRUE(restarted.start({"--listen", "127.0.0.1:0", "--demo", "--alert-allow-loopback"}, directory.path)) << restarted.output;
  json state = json::parse(deskSend(restarted, "GET", "/api/desk/state", nullptr).body);
  ASSERT_EQ(state["notifications"].size(), 1u);
  json mail = state["notifications"][0]["alerts"][0];
  EXPECT_EQ(mail["channel"], "email");
  EXPECT_EQ(mail["state"], "pending");
  EXPECT_EQ(mail["attempts"], 0);
}

// --smtp-tls starttls refuses to send to a server that does not offer it.
TEST(AlertsProcess, MailRefusedWithoutStartTls) {
  if (!aiosmtpdInstalled()) GTEST_SKIP() << "python3-aiosmtpd is missing; run scripts/install-deps reception";
  TemporaryDirectory directory;
  AlertServers servers;
  ASSERT_TRUE(servers.start(directory.path));
  ASSERT_TRUE(initAlertSender());
  SmtpSettings smtp{"smtp://127.0.0.1:" + std::to_string(servers.smtpPort), true, "", "", "desk@example.com", ""};
  const std::string message = "Subject: x\r\n\r\nbody\r\n";
  SendOutcome refused = sendMail(smtp, "hanna@example.com", message);
  EXPECT_FALSE(refused.delivered);
  EXPECT_EQ(refused.error, "the mail server offers no STARTTLS (set smtp-tls = none only for a relay on loopback)");
  EXPECT_EQ(refused.status, 0) << "the 250 to EHLO is no reason";
  SilentServer silent;
  ASSERT_NE(silent.port, 0);
  SmtpSettings mute{"smtp://127.0.0.1:" + std::to_string(silent.port), false, "", "", "desk@example.com", ""};
  EXPECT_EQ(sendMail(mute, "hanna@example.com", message, 300).error, "no answer within 300 ms");
  smtp.requireTls = false;
  EXPECT_TRUE(sendMail(smtp, "hanna@example.com", message).delivered);
  EXPECT_EQ(servers.mails().size(), 1u);
}

}  // namespace

// A push target that takes connections and never answers holds up only its
// own pushes: another host's push goes out at once while the silent one's
// sends (at most four at once) still wait for their time-out.
TEST(AlertsProcess, HangingPushTargetBesideAHealthyOne) {
  if (!aiosmtpdInstalled()) GTEST_SKIP() << "python3-aiosmtpd is missing; run scripts/install-deps reception";
  TemporaryDirectory directory;
  AlertServers servers;
  ASSERT_TRUE(servers.start(directory.path));
  SilentServer silent;
  ASSERT_NE(silent.port, 0);
  ServiceProcess service;
  ASSERT_TRUE(service.start({"--listen", "127.0.0.1:0", "--demo", "--alert-allow-loopback", "--max-waiting-per-host", "100",
                             "--desk-writes-per-second", "1000"},
                            directory.path))
      << service.output;
  std::string hanging = "http://127.0.0.1:" + std::to_string(silent.port) + "/hang";
  std::string healthy = "http://127.0.0.1:" + std::to_string(servers.hookPort) + "/push";
  ASSERT_EQ(deskSend(service, "PUT", "/api/desk/staff/1", {{"alertUrl", hanging}}).status, 200);
  ASSERT_EQ(deskSend(service, "PUT", "/api/desk/staff/2", {{"alertUrl", healthy}}).status, 200);
  for (int guest = 0; guest < 8; ++guest) announce(service, 1, "Waiting Guest " + std::to_string(guest));
  std::this_thread::sleep_for(1500ms);  // the silent target's sends under way
  auto announced = std::chrono::steady_clock::now();
  announce(service, 2, "Ada Lovelace");
  ASSERT_TRUE(waitUntil([&] { return servers.hooks("/push").size() == 1; }, 8s)) << "the push never came";
  // Well under the silent target's 10 s time-out, with room for a loaded machine.
  EXPECT_LT(std::chrono::steady_clock::now() - announced, 5000ms) << "the push waited for the silent target";
  // None of the silent target's sends has ended yet: all eight still pending, none tried twice.
  json state = json::parse(deskSend(service, "GET", "/api/desk/state", nullptr).body);
  int pending = 0;
  for (const json& guest : state["notifications"]) {
    for (const json& alert : guest["alerts"]) {
      if (alert["channel"] == "push" && alert["state"] == "pending" && alert["attempts"] == 0) ++pending;
    }
  }
  EXPECT_EQ(pending, 8);
}

namespace {

// The inline PNG of a mail, decoded from its base64 part.
std::string inlinePng(const std::string& content) {
  const std::string start = "filename=\"code.png\"\r\n\r\n";
  std::size_t from = content.find(start);
  if (from == std::string::npos) return "";
  from += start.size();
  std::string encoded = content.substr(from, content.find("--", from) - from);
  std::string png(encoded.size(), '\0');
  std::size_t length = 0;
  if (sodium_base642bin(reinterpret_cast<unsigned char*>(png.data()), png.size(), encoded.c_str(), encoded.size(),
                        "\r\n", &length, nullptr, sodium_base64_VARIANT_ORIGINAL) != 0) {
    return "";
  }
  png.resize(length);
  return png;
}

// What zbarimg reads in the image file.
std::string decodedQr(const std::filesystem::path& image) {
  std::string command = "zbarimg --raw -q '" + image.string() + "' 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return "";
  std::string text;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) text += buffer;
  ::pclose(pipe);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

std::string todayHere() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char day[16];
  std::strftime(day, sizeof day, "%Y-%m-%d", &local);
  return day;
}

}  // namespace

// An invitation end to end: made while the mail server is down, its mail
// survives a kill -9 of the service and is sent once the server answers,
// exactly once, with the code and a QR image of it (SMTP settings and no
// alert chain); the kiosk checks the guest in with it once, and the host's
// notifier has the guest.
TEST(AlertsProcess, InvitationMailQrCodeChecksInAtTheKioskOnce) {
  if (!aiosmtpdInstalled()) GTEST_SKIP() << "python3-aiosmtpd is missing; run scripts/install-deps reception";
  if (std::system("command -v zbarimg >/dev/null") != 0) GTEST_SKIP() << "zbarimg is missing; run scripts/install-deps reception";
  TemporaryDirectory directory;
  int smtpPort = AlertServers::unusedSmtpPort();
  ASSERT_NE(smtpPort, 0);
  std::string output;
  ASSERT_EQ(runService({"desk-user", "add", "tablet", "--role", "kiosk"}, directory.path, output, "tablet-password\n"), 0)
      << output;
  std::ofstream(directory.path / "arrival.txt") << "Take the lift to the 3rd floor.\n";
  const std::vector<std::string> arguments = {"--listen", "127.0.0.1:0", "--demo", "--smtp-url",
      "smtp://127.0.0.1:" + std::to_string(smtpPort), "--smtp-tls", "none", "--smtp-from", "desk@example.com",
      "--visitor-instructions-file", "arrival.txt"};
  ServiceProcess first;
  ASSERT_TRUE(first.start(arguments, directory.path)) << first.output;
  RawReply added = deskSend(first, "POST", "/api/desk/staff", {{"name", "Hanna Host"}});
  ASSERT_EQ(added.status, 201) << added.body;
  std::int64_t host = json::parse(added.body)["id"];
  RawReply invited = deskSend(first, "POST", "/api/desk/invitations",
                              {{"hostId", host}, {"guestName", "Ada Lovelace"}, {"guestEmail", "ada@example.com"},
                               {"expectedOn", todayHere()}, {"expectedAt", "10:30"}});
  ASSERT_EQ(invited.status, 201) << invited.body;
  std::string code = json::parse(invited.body)["code"];
  std::string failed = "invitation #" + json::parse(invited.body)["id"].dump() + " email to …@example.com: attempt 1 failed";
  ASSERT_TRUE(waitUntil([&] { return fileText(first.logPath).find(failed) != std::string::npos; }, 10s))
      << fileText(first.logPath);
  first.stop(SIGKILL);

  AlertServers servers;
  ASSERT_TRUE(servers.start(directory.path, smtpPort)) << fileText(directory.path / "servers.log");
  ServiceProcess service;
  ASSERT_TRUE(service.start(arguments, directory.path)) << service.output;
  ASSERT_TRUE(waitUntil([&] { return !servers.mails().empty(); }, 12s)) << "no invitation mail arrived";
  std::this_thread::sleep_for(6s);  // time for a second delivery, were there one
  ASSERT_EQ(servers.mails().size(), 1u);
  json mail = servers.mails()[0];
  EXPECT_EQ(mail["to"], json::array({"ada@example.com"}));
  std::string content = mail["content"];
  for (const std::string& part : {code, todayHere() + " at 10:30", std::string("Hanna Host"),
                                  std::string("Take the lift to the 3rd floor.")}) {
    EXPECT_NE(content.find(part), std::string::npos) << part << " missing in:\n" << content;
  }
  // Text and HTML as alternatives, the HTML showing the QR image beside it
  // by its Content-ID; the text as it always was.
  std::vector<std::string> types;
  for (const json& part : mail["parts"]) types.push_back(part["type"]);
  ASSERT_EQ(types, (std::vector<std::string>{"multipart/alternative", "text/plain", "multipart/related", "text/html",
                                             "image/png"})) << content;
  std::string text = mail["parts"][1]["text"];
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  std::string html = mail["parts"][3]["text"];
  EXPECT_EQ(text.rfind("Hello Ada Lovelace,\n\nHanna Host expects you on " + todayHere() + " at 10:30.\n\nYour code: " +
                       code + "\n", 0), 0u) << text;
  EXPECT_NE(text.find("\nTake the lift to the 3rd floor.\n"), std::string::npos) << text;
  for (const std::string& shown : {code, std::string("Hanna Host"), std::string("Take the lift to the 3rd floor."),
                                    std::string("<img src=\"cid:code@vestibra\"")}) {
    EXPECT_NE(html.find(shown), std::string::npos) << shown << " missing in:\n" << html;
  }
  EXPECT_EQ(mail["parts"][4]["cid"], "<code@vestibra>");
  std::string png = inlinePng(content);
  ASSERT_FALSE(png.empty()) << content;
  std::ofstream(directory.path / "code.png", std::ios::binary) << png;
  EXPECT_EQ(decodedQr(directory.path / "code.png"), code);

  std::string kiosk = deskLogin(service.host, service.port, "tablet", "tablet-password");
  ASSERT_FALSE(kiosk.empty());
  RawReply checkIn = send11(service.host, service.port, "POST", "/api/kiosk/check-in", json{{"code", code}}.dump(),
                            "application/json", kiosk);
  ASSERT_EQ(checkIn.status, 201) << checkIn.body;
  EXPECT_EQ(json::parse(checkIn.body)["guestName"], "Ada Lovelace");
  RawReply poll = getAs10(service.host, service.port,
                          std::string("/api/reception/getNotification?key=") + accessKey + "&fn=Hanna&ln=Host");
  EXPECT_NE(poll.body.find("|Ada Lovelace|"), std::string::npos) << poll.body;
  EXPECT_EQ(send11(service.host, service.port, "POST", "/api/kiosk/check-in", json{{"code", code}}.dump(),
                   "application/json", kiosk).status, 404) << "a code is used once";
}

// Two instances on one PostgreSQL database (the "postgresql" label's server),
// each killed -9 and restarted while it works.
class TwoInstancesKilled : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsOnPostgres()) GTEST_SKIP() << "two instances share a PostgreSQL database (CTest label postgresql)";
    std::string error;
    uri_ = database_.create(error);
    ASSERT_FALSE(uri_.empty()) << error;
  }
  void TearDown() override {
    for (ServiceProcess& instance : instances_) instance.stop(SIGKILL);
    if (!uri_.empty()) database_.drop();
  }
  // Starts (or restarts) instance 0 or 1 with the arguments given and the shared database.
  void start(int which, std::vector<std::string> arguments) {
    arguments.insert(arguments.end(), {"--listen", "127.0.0.1:0", "--database", uri_});
    if (which == 0 && cookie_.empty()) arguments.push_back("--demo");
    ASSERT_TRUE(instances_[which].start(arguments, directory_.path)) << instances_[which].output;
    if (cookie_.empty()) cookie_ = instances_[which].deskCookie;
  }
  RawReply desk(int which, const std::string& method, const std::string& target, const json& body) {
    return send11(instances_[which].host, instances_[which].port, method, target, body.dump(), "application/json", cookie_);
  }

  TemporaryDirectory directory_;
  TestPostgresDatabase database_;
  std::string uri_;
  std::string cookie_;  // the demo admin's session: sessions live in the database, valid on both
  ServiceProcess instances_[2];
};

// 200 announcements sent alternately to both while one is killed -9 part-way
// and restarted: each answered 201 is stored once, each not answered is
// stored at most once.
TEST_F(TwoInstancesKilled, AnnouncementsAnsweredAreStoredOnce) {
  const std::vector<std::string> arguments = {"--desk-writes-per-second", "1000", "--max-waiting-per-host", "1000"};
  start(0, arguments);
  start(1, arguments);
  std::map<std::string, int> answered;  // guest name: status (0: no answer)
  std::thread killer;
  for (int i = 0; i < 200; ++i) {
    // The kill falls while requests are under way; the restart comes 40 announcements later.
    if (i == 60) killer = std::thread([&] { std::this_thread::sleep_for(30ms); ::kill(instances_[0].pid, SIGKILL); });
    if (i == 100) {
      killer.join();
      instances_[0].stop(SIGKILL);
      start(0, arguments);
    }
    char name[32];
    std::snprintf(name, sizeof name, "Guest %03d", i);
    answered[name] = desk(i % 2, "POST", "/api/desk/notifications", {{"staffId", 1}, {"guestName", name}}).status;
  }
  if (killer.joinable()) killer.join();
  std::string stored;
  ASSERT_EQ(database_.execute("SELECT string_agg(headline || '=' || n, ',') FROM "
                              "(SELECT headline, count(*) AS n FROM notification GROUP BY headline) AS stored",
                              &stored), "");
  std::map<std::string, int> times;
  std::istringstream list(stored);
  for (std::string entry; std::getline(list, entry, ',');) {
    times[entry.substr(0, entry.find('='))] = std::stoi(entry.substr(entry.find('=') + 1));
  }
  int refused = 0;
  for (const auto& [name, status] : answered) {
    if (status == 201) {
      EXPECT_EQ(times[name], 1) << name << " was answered 201";
    } else {
      ++refused;
      EXPECT_LE(times[name], 1) << name << " was answered " << status;
    }
  }
  EXPECT_GT(refused, 0) << "the kill fell on no request";
  EXPECT_LT(refused, 60) << "the other instance carried on";
  for (const auto& [name, count] : times) EXPECT_EQ(answered.count(name), 1u) << "stored, never sent: " << name;
  std::printf("announcements: %d of 200 answered 201, %d not answered\n", 200 - refused, refused);
}

// 20 guests, each with a push and a team step, while the sending instances
// are killed -9 five times: every step goes out under one Idempotency-Key,
// none is lost. A send cut short by the kill is sent again with the same key
// once its claim runs out (at least once): those repeats are counted.
TEST_F(TwoInstancesKilled, EachAlertStepIsSentUnderOneKeyAcrossKills) {
  if (!aiosmtpdInstalled()) GTEST_SKIP() << "python3-aiosmtpd is missing; run scripts/install-deps reception";
  AlertServers servers;
  ASSERT_TRUE(servers.start(directory_.path)) << fileText(directory_.path / "servers.log");
  std::string hookBase = "http://127.0.0.1:" + std::to_string(servers.hookPort);
  const std::vector<std::string> arguments = {"--alert-allow-loopback", "--alert-claim-seconds", "2",
      "--team-webhook", hookBase + "/slow-team", "--escalate-after-unacknowledged", "3"};
  start(0, arguments);
  start(1, arguments);
  RawReply added = desk(0, "POST", "/api/desk/staff", {{"name", "Hanna Host"}, {"alertUrl", hookBase + "/slow-push"}});
  ASSERT_EQ(added.status, 201) << added.body;
  std::int64_t host = json::parse(added.body)["id"];
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(desk(i % 2, "POST", "/api/desk/notifications", {{"staffId", host}, {"guestName", "Guest " + std::to_string(i)}})
                  .status, 201);
  }
  // Five kills, alternately, 1.2 s apart: each falls while pushes or team steps are being sent.
  for (int kill = 0; kill < 5; ++kill) {
    std::this_thread::sleep_for(1200ms);
    instances_[kill % 2].stop(SIGKILL);
    start(kill % 2, arguments);
  }
  auto delivered = [&](const std::string& path) {
    std::map<std::string, std::set<std::string>> keys;  // guest: keys answered 200
    for (const json& hook : servers.hooks(path)) {
      if (hook["status"] == 200) keys[json::parse(hook["body"].get<std::string>())["guest"]].insert(hook["key"]);
    }
    return keys;
  };
  ASSERT_TRUE(waitUntil([&] { return delivered("/slow-push").size() == 20 && delivered("/slow-team").size() == 20; }, 60s))
      << servers.hooks("/slow-push").size() << " pushes, " << servers.hooks("/slow-team").size() << " team messages";
  std::this_thread::sleep_for(4s);  // two claims' time, for any late repeat
  int duplicates = 0;
  for (const char* path : {"/slow-push", "/slow-team"}) {
    for (const auto& [guest, keys] : delivered(path)) EXPECT_EQ(keys.size(), 1u) << guest << " had two " << path << " steps";
    duplicates += static_cast<int>(servers.hooks(path).size()) - 20;
  }
  EXPECT_LE(duplicates, 5 * 4) << "a kill cuts short at most the 4 sends an instance runs to one server";
  std::printf("alert steps: 40 delivered once per key; %d repeated with the same key after the kills\n", duplicates);
}
