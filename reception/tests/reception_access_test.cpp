// Who may reach the service: desk sessions and roles, the audit log, login
// throttling, other web pages (Host, Origin, Sec-Fetch-*), the desk-user
// command, file permissions and HTTPS.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "desk/desk.h"
#include "postgres_test_support.h"
#include "reception_client.h"
#include "reception_test_support.h"
#include "sso/provider_client.h"
#include "store/notifications.h"
#include "store/schema.h"
#include "store/staff.h"
#include "store/clock.h"
#include "store/database.h"
#include "rules/login_throttle.h"
#include "http/host_addresses.h"
#include "log/service_log.h"
#include "test_support.h"
#include "loopback_server.h"

namespace {

using nlohmann::json;

json bodyOf(const RawReply& reply) { return json::parse(reply.body, nullptr, false); }

class ReceptionAccessTest : public FakeClockServiceTest {
 protected:
  // A request as a browser on another page, or a client without a session, sends it.
  RawReply raw(const std::string& method, const std::string& target, const std::string& headers,
               const std::string& body = "") {
    return send11(host_, port_, method, target, body, method == "GET" ? "" : "application/json", headers);
  }
  // send11's Host header holds no port, so neither does the origin a browser would send with it.
  std::string ownOrigin() { return "http://" + host_; }

};

// Every byte of the database and its write-ahead log.
std::string databaseBytes(const std::filesystem::path& file) {
  std::string bytes = readFileBytes(file);
  if (std::filesystem::exists(file.string() + "-wal")) bytes += readFileBytes(file.string() + "-wal");
  return bytes;
}

}  // namespace

TEST_F(ReceptionAccessTest, EveryDeskRequestButLoginNeedsASessionOfTheRightRole) {
  std::int64_t anna = addStaffMember("Anna", "Schmidt");  // as the test's admin
  for (const auto& [method, target] : std::vector<std::pair<std::string, std::string>>{
           {"GET", "/api/desk/state"}, {"POST", "/api/desk/notifications"}, {"DELETE", "/api/desk/staff/1"},
           {"GET", "/api/desk/audit"}, {"GET", "/api/desk/accounts"}, {"POST", "/api/desk/logout"},
           {"POST", "/api/desk/notifications/1/reassign"}, {"GET", "/api/desk/visitors.csv"}}) {
    RawReply refused = raw(method, target, "", method == "GET" ? "" : "{}");
    EXPECT_EQ(refused.status, 401) << method << " " << target;
    EXPECT_EQ(bodyOf(refused)["error"], "Please log in.") << target;
  }
  EXPECT_EQ(raw("GET", "/", "").status, 200);  // the page itself, with its login form

  addDeskAccount("front", "desk", "front-desk-1");
  RawReply wrongName = raw("POST", "/api/desk/login", "", R"({"name": "nobody", "password": "front-desk-1"})");
  RawReply wrongPassword = raw("POST", "/api/desk/login", "", R"({"name": "front", "password": "front-desk-2"})");
  EXPECT_EQ(wrongName.status, 401);
  EXPECT_EQ(wrongPassword.status, 401);
  EXPECT_EQ(wrongName.body, wrongPassword.body);  // the same answer: names cannot be probed

  RawReply loggedIn = raw("POST", "/api/desk/login", "", R"({"name": "FRONT", "password": "front-desk-1"})");
  EXPECT_EQ(loggedIn.status, 200);
  EXPECT_EQ(bodyOf(loggedIn), json({{"name", "front"}, {"role", "desk"}}));
  EXPECT_TRUE(std::regex_match(header(loggedIn, "Set-Cookie"),
                               std::regex("vestibra_session=[0-9a-f]{64}; HttpOnly; SameSite=Strict; Path=/")))
      << header(loggedIn, "Set-Cookie");
  std::string desk = deskLogin(host_, port_, "front", "front-desk-1");
  EXPECT_EQ(raw("GET", "/api/desk/state", desk).status, 200);
  RawReply announced = raw("POST", "/api/desk/notifications", desk, json{{"staffId", anna}, {"guestName", "Ada"}}.dump());
  EXPECT_EQ(announced.status, 201);
  EXPECT_EQ(raw("POST", "/api/desk/notifications/" + std::to_string(bodyOf(announced)["id"].get<int>()) + "/archive",
                desk, "{}")
                .status,
            200);
  for (const auto& [method, target] : std::vector<std::pair<std::string, std::string>>{
           {"POST", "/api/desk/staff"}, {"DELETE", "/api/desk/staff/" + std::to_string(anna)},
           {"GET", "/api/desk/audit"}, {"GET", "/api/desk/accounts"}, {"POST", "/api/desk/accounts/1/password"},
           {"POST", "/api/desk/staff/import"}, {"GET", "/api/desk/staff.csv"}, {"GET", "/api/desk/visitors"}}) {
    EXPECT_EQ(raw(method, target, desk, R"({"name": "Zoe Lee", "password": "whatever-1"})").status, 403) << target;
  }
  EXPECT_EQ(state()["staff"].size(), 1u);  // nothing the desk account tried changed

  // A new password and a removed account end their sessions; logging out ends one.
  std::int64_t frontId = bodyOf(get("/api/desk/accounts"))["accounts"][0]["id"];
  EXPECT_EQ(post("/api/desk/accounts/" + std::to_string(frontId) + "/password", R"({"password": "short"})").status, 400);
  EXPECT_EQ(post("/api/desk/accounts/" + std::to_string(frontId) + "/password", R"({"password": "front-desk-3"})").status,
            200);
  EXPECT_EQ(raw("GET", "/api/desk/state", desk).status, 401);
  desk = deskLogin(host_, port_, "front", "front-desk-3");
  RawReply out = raw("POST", "/api/desk/logout", desk, "{}");
  EXPECT_EQ(out.status, 200);
  EXPECT_EQ(header(out, "Set-Cookie").rfind("vestibra_session=; Max-Age=0", 0), 0u);
  EXPECT_EQ(raw("GET", "/api/desk/state", desk).status, 401);
  desk = deskLogin(host_, port_, "front", "front-desk-3");
  EXPECT_EQ(send("DELETE", "/api/desk/accounts/" + std::to_string(frontId)).status, 200);
  EXPECT_EQ(raw("GET", "/api/desk/state", desk).status, 401);
  // The last admin stays, so the desk can always be managed from the page.
  std::int64_t adminId = bodyOf(get("/api/desk/accounts"))["accounts"][0]["id"];
  EXPECT_EQ(send("DELETE", "/api/desk/accounts/" + std::to_string(adminId)).status, 409);
}

TEST_F(ReceptionAccessTest, AuditLogKeepsEveryDeskWriteNewestFirstAndNoSecrets) {
  raw("POST", "/api/desk/login", "", R"({"name": "test-admin", "password": "not-the-password"})");
  std::int64_t anna = addStaffMember("Anna", "Schmidt");
  std::int64_t guest = announce(anna, "Ada Lovelace", "Room 2");
  EXPECT_EQ(post("/api/desk/notifications/" + std::to_string(guest) + "/archive", "{}").status, 200);
  RawReply added = post("/api/desk/accounts", R"({"name": "front", "role": "desk", "password": "front-secret-1"})");
  ASSERT_EQ(added.status, 201);
  std::string front = std::to_string(bodyOf(added)["id"].get<int>());
  EXPECT_EQ(post("/api/desk/accounts/" + front + "/password", R"({"password": "front-secret-2"})").status, 200);
  std::string frontCookie = deskLogin(host_, port_, "front", "front-secret-2");
  EXPECT_EQ(raw("POST", "/api/desk/logout", frontCookie, "{}").status, 200);
  EXPECT_EQ(send("DELETE", "/api/desk/accounts/" + front).status, 200);
  EXPECT_EQ(send("DELETE", "/api/desk/staff/" + std::to_string(anna)).status, 200);

  json page = bodyOf(get("/api/desk/audit"));
  std::vector<std::string> actions;
  for (const json& entry : page["entries"]) {
    actions.push_back(entry["account"].get<std::string>() + " " + entry["action"].get<std::string>());
    EXPECT_EQ(entry["address"], "127.0.0.1");
    EXPECT_EQ(entry["at"], fakeNow.load());
  }
  EXPECT_EQ(actions, (std::vector<std::string>{"test-admin staff-remove", "test-admin account-remove", "front logout",
                                               "front login", "test-admin account-password", "test-admin account-add",
                                               "test-admin withdraw", "test-admin announce", "test-admin staff-add",
                                               "test-admin login", "test-admin login-failed"}));
  EXPECT_EQ(page["entries"][7]["detail"], "guest #" + std::to_string(guest) + " Ada Lovelace for Anna Schmidt");
  EXPECT_TRUE(page["next"].is_null());

  // Pages of 50, newest first, each going on below the last id of the one before.
  std::int64_t ben = addStaffMember("Ben", "Weber");
  for (int i = 0; i < 50; ++i) announce(ben, "Guest " + std::to_string(i), "");
  json first = bodyOf(get("/api/desk/audit"));
  ASSERT_EQ(first["entries"].size(), 50u);
  EXPECT_EQ(first["entries"][0]["detail"], "guest #" + std::to_string(guest + 50) + " Guest 49 for Ben Weber");
  json second = bodyOf(get("/api/desk/audit?before=" + std::to_string(first["next"].get<std::int64_t>())));
  ASSERT_EQ(second["entries"].size(), 12u);  // 11 from before, and adding Ben Weber
  EXPECT_EQ(second["entries"][0]["id"], first["entries"][49]["id"].get<std::int64_t>() - 1);
  EXPECT_TRUE(second["next"].is_null());
  EXPECT_EQ(bodyOf(get("/api/desk/audit?before=x")).value("error", ""), "before is an entry id.");

  // Neither answers nor the database's bytes hold a password, a session token or the notifier key.
  std::string token = frontCookie.substr(frontCookie.find('=') + 1, 64);
  std::string everything = first.dump() + second.dump() + page.dump() +
                           databaseBytes(directory_.path / "reception.db");
  for (const std::string& secret : {std::string("front-secret-1"), std::string("front-secret-2"),
                                    std::string("test-admin-password"), std::string("not-the-password"), token,
                                    std::string(accessKey)}) {
    EXPECT_EQ(everything.find(secret), std::string::npos) << secret;
  }
}

// As the package runs it (listen = *:80), here on a loopback port: the desk
// opens by any name or address of the machine and by an added name; another
// name learns which names work, and the log says so once a minute.
TEST_F(ReceptionAccessTest, TheDeskAnswersToEveryNameAndAddressOfTheMachine) {
  ServiceSettings everywhere = settings_;
  everywhere.origin.hostNames = serviceHostNames("*", {"Desk.Example.org"});
  everywhere.origin.machineAddresses = std::make_shared<HostAddresses>();
  configureService(everywhere);
  char machine[256] = {};
  ASSERT_EQ(::gethostname(machine, sizeof machine - 1), 0);
  std::string port = std::to_string(port_);
  std::vector<std::string> ours = {"localhost", "127.0.0.1:" + port, machine, "DESK.example.org:" + port};
  if (!fullyQualifiedHostName().empty()) ours.push_back(fullyQualifiedHostName());
  std::vector<std::string> addresses = interfaceAddresses();
  EXPECT_NE(std::find(addresses.begin(), addresses.end(), "127.0.0.1"), addresses.end());
  ours.insert(ours.end(), addresses.begin(), addresses.end());
  for (const std::string& host : ours) {
    EXPECT_EQ(exchange(host_, port_, "GET / HTTP/1.0\r\nHost: " + host + "\r\n\r\n").status, 200) << host;
  }
  forgetLoggedKeys();
  testing::internal::CaptureStderr();
  for (const char* host : {"evil.example", "desk.example.org.evil.example", "192.0.2.1", "evil.example"}) {
    RawReply refused = exchange(host_, port_, "GET / HTTP/1.0\r\nHost: " + std::string(host) + "\r\n\r\n");
    EXPECT_EQ(refused.status, 421) << host;
    EXPECT_NE(refused.body.find("desk.example.org"), std::string::npos) << refused.body;
    EXPECT_NE(refused.body.find("host-name = NAME"), std::string::npos) << refused.body;
  }
  fakeNow += 61 * 1000;
  exchange(host_, port_, "GET / HTTP/1.0\r\nHost: 192.0.2.1\r\n\r\n");
  // Each line starts with its time (no test runs with the journal as its standard error).
  std::string log = std::regex_replace(testing::internal::GetCapturedStderr(),
                                       std::regex(R"((^|\n)\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z )"), "$1");
  // One line per address and reason a minute, naming the first refused name.
  const std::string refused = "vestibra-reception: refused 421 from 127.0.0.1: the desk does not answer to the host name ";
  EXPECT_EQ(log, refused + "\"evil.example\"\n" + refused + "\"192.0.2.1\"\n");
}

TEST_F(ReceptionAccessTest, OtherHostNamesAndOtherSitesGetNowhere) {
  std::int64_t anna = addStaffMember("Anna", "Schmidt");
  std::int64_t guest = announce(anna, "Ada", "");
  std::string port = std::to_string(port_);
  const std::string login = R"({"name": "test-admin", "password": "test-admin-password"})";
  for (const std::string& host : {std::string("evil.example"), std::string("evil.example:") + port,
                                  std::string("127.0.0.1:1"), std::string("127.0.0.1.evil.example"),
                                  std::string("")}) {
    std::string line = host.empty() ? "" : "Host: " + host + "\r\n";
    for (const char* target : {"/", "/desk.js", "/api/desk/state", "/api/desk/login"}) {
      std::string request = std::string("POST ") + target + " HTTP/1.0\r\n" + line +
                            "Content-Type: application/json\r\nContent-Length: " + std::to_string(login.size()) +
                            "\r\n\r\n" + login;
      EXPECT_EQ(exchange(host_, port_, request).status, 421) << host << target;
    }
  }
  for (const std::string& host : {std::string("localhost"), "LOCALHOST:" + port, "127.0.0.1:" + port, "[::1]:" + port}) {
    EXPECT_EQ(exchange(host_, port_, "GET / HTTP/1.0\r\nHost: " + host + "\r\n\r\n").status, 200) << host;
  }

  // Writes from another site are refused; the page's own origin is not.
  std::string cookie = deskLogin(host_, port_, "test-admin", "test-admin-password");
  ASSERT_FALSE(cookie.empty());
  std::string body = json{{"staffId", anna}, {"guestName", "Eve"}}.dump();
  for (const std::string& headers : {std::string("Origin: http://evil.example\r\n"), std::string("Origin: null\r\n"),
                                     "Origin: https://" + host_ + ":" + port + "\r\n",
                                     std::string("Sec-Fetch-Site: cross-site\r\n")}) {
    EXPECT_EQ(raw("POST", "/api/desk/notifications", cookie + headers, body).status, 403) << headers;
    EXPECT_EQ(raw("POST", "/api/desk/login", headers, login).status, 403) << headers;
  }
  EXPECT_EQ(raw("POST", "/api/desk/notifications", cookie + "Origin: " + ownOrigin() + "\r\nSec-Fetch-Site: same-origin\r\n",
                body)
                .status,
            201);

  // The notifier API refuses what a browser sends, with an empty body, and changes nothing.
  const std::string keyed = std::string("?key=") + accessKey;
  for (const std::string& headers :
       {std::string("Sec-Fetch-Site: cross-site\r\n"), std::string("Sec-Fetch-Dest: image\r\n"),
        std::string("Origin: http://evil.example\r\n"), std::string("Cookie: a=b\r\n"),
        std::string("User-Agent: Mozilla/5.0\r\n"), std::string("accept: image/avif,*/*\r\n"),
        std::string("Referer: http://evil.example/\r\n"), std::string("Upgrade-Insecure-Requests: 1\r\n"),
        std::string("Sec-CH-UA: \"Chromium\"\r\n"), std::string("Sec-Purpose: prefetch\r\n")}) {
    for (const std::string& target : {"getNotification" + keyed + "&fn=Anna&ln=Schmidt",
                                      "archiveNotification" + keyed + "&id=" + std::to_string(guest)}) {
      RawReply refused = raw("GET", "/api/reception/" + target, headers);
      EXPECT_EQ(refused.status, 403) << headers << target;
      EXPECT_EQ(refused.body, "");
    }
  }
  json waiting = state()["notifications"][0];
  EXPECT_TRUE(waiting["deliveredAt"].is_null());
  EXPECT_TRUE(waiting["archivedAt"].is_null());
  // Notifiers work whatever host name they use; every answer says nosniff, the page more.
  RawReply polled = exchange(host_, port_, "GET /api/reception/listUsers" + keyed + " HTTP/1.0\r\nHost: reception.corp\r\n\r\n");
  EXPECT_EQ(polled.body, "Anna Schmidt");
  EXPECT_EQ(header(polled, "X-Content-Type-Options"), "nosniff");
  EXPECT_EQ(header(get("/api/desk/state"), "X-Content-Type-Options"), "nosniff");
  RawReply page = get("/");
  EXPECT_EQ(header(page, "X-Content-Type-Options"), "nosniff");
  EXPECT_NE(header(page, "Content-Security-Policy").find("frame-ancestors 'none'"), std::string::npos);
  EXPECT_EQ(header(page, "Referrer-Policy"), "no-referrer");
}

// The key opens the notifier API only as far as a notifier needs: the host
// archives a guest its notifier was shown, nothing else; the desk withdraws.
TEST_F(ReceptionAccessTest, TheHostArchivesOnlyAGuestItsNotifierWasShown) {
  std::int64_t anna = addStaffMember("Anna", "Schmidt");
  std::int64_t unseen = announce(anna, "Ada", "");
  const std::string keyed = std::string("/api/reception/archiveNotification?key=") + accessKey + "&id=";
  EXPECT_EQ(getAs10(host_, port_, keyed + std::to_string(unseen)).body, "0");
  json guest = state()["notifications"][0];
  EXPECT_TRUE(guest["archivedAt"].is_null());
  EXPECT_EQ(post("/api/desk/notifications/" + std::to_string(unseen) + "/archive", "{}").status, 200);
  EXPECT_EQ(getAs10(host_, port_, keyed + std::to_string(unseen)).body, "0");  // withdrawn stays withdrawn
  EXPECT_EQ(state()["notifications"][0]["archivedBy"], "desk");

  std::int64_t shown = announce(anna, "Bob", "");
  EXPECT_NE(getAs10(host_, port_, std::string("/api/reception/getNotification?key=") + accessKey + "&fn=Anna&ln=Schmidt")
                .body.find("Bob"),
            std::string::npos);
  EXPECT_EQ(getAs10(host_, port_, keyed + std::to_string(shown)).body, "1");
  EXPECT_EQ(getAs10(host_, port_, keyed + std::to_string(shown)).body, "0");
}

// A second session cookie (set by another service on this host name, or over
// plain HTTP) is refused with a message, and no session is ended by it.
TEST_F(ReceptionAccessTest, TwoSessionCookiesAreRefusedAndLogNobodyOut) {
  get("/api/desk/session");  // makes the test's admin account
  std::string cookie = deskLogin(host_, port_, "test-admin", "test-admin-password");
  ASSERT_FALSE(cookie.empty());
  std::string own = cookie.substr(cookie.find(' ') + 1, cookie.size() - cookie.find(' ') - 3);  // "vestibra_session=..."
  for (const std::string& twice : {"Cookie: " + own + "; vestibra_session=planted\r\n",
                                   "Cookie: vestibra_session=planted\r\nCookie: " + own + "\r\n"}) {
    for (const char* target : {"/api/desk/logout", "/api/desk/login"}) {
      RawReply refused = raw("POST", target, twice, R"({"name": "test-admin", "password": "test-admin-password"})");
      EXPECT_EQ(refused.status, 400) << twice << target;
      EXPECT_NE(bodyOf(refused).value("error", "").find("more than one session cookie"), std::string::npos);
      EXPECT_EQ(header(refused, "Set-Cookie"), "");
    }
  }
  EXPECT_EQ(raw("GET", "/api/desk/session", cookie).status, 200);
  EXPECT_EQ(raw("GET", "/api/desk/session", "Cookie: other=1; " + own + "\r\n").status, 200);  // other names do not count

  // The admin's page shows the key and the installer line to use with it; desk accounts see neither.
  RawReply setup = get("/api/desk/notifier-setup");
  ASSERT_EQ(setup.status, 200);
  EXPECT_EQ(bodyOf(setup)["key"], settings_.notifier.accessKey);
  char machine[256] = {};
  ASSERT_EQ(::gethostname(machine, sizeof machine - 1), 0);
  EXPECT_EQ(bodyOf(setup)["install"], notifierInstallLine(machine, settings_.notifier.accessKey));  // not "127.0.0.1"
  EXPECT_TRUE(std::regex_match(notifierInstallLine("reception.corp", "k3y"),
                               std::regex("msiexec /i vestibra-win64\\.msi /qn SERVICEHOST=reception\\.corp SERVICEKEY=k3y")));
  EXPECT_TRUE(bodyOf(setup)["installer"].is_null()) << "no installer here to offer";
  EXPECT_EQ(get("/downloads/vestibra-win64.msi").status, 404);
  addDeskAccount("front", "desk", "front-desk-1");
  EXPECT_EQ(raw("GET", "/api/desk/notifier-setup", deskLogin(host_, port_, "front", "front-desk-1")).status, 403);
}

TEST_F(ReceptionAccessTest, TheEleventhWrongPasswordIsThrottledWhateverThePassword) {
  addDeskAccount("front", "desk", "front-desk-1");
  addDeskAccount("back", "desk", "back-desk-1");
  for (int attempt = 1; attempt <= 10; ++attempt) {
    EXPECT_EQ(raw("POST", "/api/desk/login", "", R"({"name": "front", "password": "guess)" + std::to_string(attempt) + "\"}")
                  .status,
              401)
        << attempt;
  }
  fakeNow += 60 * 1000;
  RawReply throttled = raw("POST", "/api/desk/login", "", R"({"name": "front", "password": "front-desk-1"})");
  EXPECT_EQ(throttled.status, 429);
  EXPECT_EQ(header(throttled, "Retry-After"), "840");  // the first failure leaves the window in 14 minutes
  // Ten failures from one address also stop its attempts on other accounts.
  EXPECT_EQ(raw("POST", "/api/desk/login", "", R"({"name": "back", "password": "back-desk-1"})").status, 429);
  fakeNow += 14 * 60 * 1000;
  EXPECT_EQ(raw("POST", "/api/desk/login", "", R"({"name": "front", "password": "front-desk-1"})").status, 200);

  // Failures are kept in the database: ten saved by another instance (a
  // connection of its own on the same file or server) throttle this one's logins too.
  sqlite3* other = nullptr;
  if (!testsOnPostgres()) {
    ASSERT_EQ(sqlite3_open((directory_.path / "reception.db").string().c_str(), &other), SQLITE_OK);
  }
  for (int i = 0; i < 10; ++i) {
    for (const std::string& key : throttleKeys("back", "127.0.0.5")) {
      std::string insert = "INSERT INTO login_failure VALUES ('" + key + "', " + std::to_string(fakeNow - 1000) + ")";
      if (testsOnPostgres()) {
        ASSERT_EQ(postgres_.execute(insert), "");
      } else {
        ASSERT_EQ(sqlite3_exec(other, insert.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(other);
      }
    }
  }
  if (other != nullptr) sqlite3_close(other);
  RawReply elsewhere = send11(host_, port_, "POST", "/api/desk/login", R"({"name": "back", "password": "back-desk-1"})",
                              "application/json", "", "127.0.0.5");
  EXPECT_EQ(elsewhere.status, 429);
  EXPECT_EQ(header(elsewhere, "Retry-After"), "899");
  // Each new failure forgets those that left the window: the table holds one window at most.
  fakeNow += 15 * 60 * 1000;
  EXPECT_EQ(raw("POST", "/api/desk/login", "", R"({"name": "front", "password": "wrong"})").status, 401);
  ReadSession session;
  Statement kept = session.prepare("SELECT count(*) FROM login_failure");
  ASSERT_EQ(kept.step(), SQLITE_ROW);
  EXPECT_EQ(kept.integer(0), 3) << "the new failure under its three keys";
}

// Behind a trusted load balancer the throttle counts the client it names in
// X-Forwarded-For, so one guesser does not lock out every desk behind it;
// the header of a client that is not a trusted proxy counts for nothing.
TEST_F(ReceptionAccessTest, ThrottledByTheClientATrustedProxyNames) {
  addDeskAccount("front", "desk", "front-desk-1");
  auto login = [&](const std::string& forwardedFor, const std::string& password) {
    return raw("POST", "/api/desk/login", "X-Forwarded-For: " + forwardedFor + "\r\n",
               json{{"name", "front"}, {"password", password}}.dump()).status;
  };
  for (int i = 0; i < 10; ++i) EXPECT_EQ(login("192.0.2." + std::to_string(i), "guess"), 401);
  EXPECT_EQ(login("192.0.2.99", "front-desk-1"), 429) << "without trust, every attempt is the peer's";
  stopHttpServer();
  serving_ = false;
  settings_.trustedProxies = {host_};
  startService();
  fakeNow += loginWindowMs;
  for (int i = 0; i < 10; ++i) EXPECT_EQ(login("203.0.113.9, 192.0.2.1", "guess"), 401);
  EXPECT_EQ(login("192.0.2.1", "front-desk-1"), 429);
  EXPECT_EQ(login("192.0.2.1, 192.0.2.2", "front-desk-1"), 200) << "another client behind the same proxy";
}

// Records one migration more or one fewer than the service knows, on either backend.
std::string newerMigrationSql() {
  return "INSERT INTO schema_migrations (version, name, applied_at) VALUES (" + std::to_string(serviceSchemaVersion() + 1) +
         ", 'later', 1)";
}
std::string olderMigrationsSql() {
  return "DELETE FROM schema_migrations WHERE version = " + std::to_string(serviceSchemaVersion());
}

// GET /healthz for load balancers: open to anyone by any host name, 200 "ok"
// while the database answers with a current schema, 503 with the reason and
// Retry-After otherwise.
TEST_F(ReceptionAccessTest, HealthCheckAnswersByTheDatabaseAndItsSchema) {
  RawReply healthy = exchange(host_, port_, "GET /healthz HTTP/1.0\r\n\r\n");
  EXPECT_EQ(healthy.status, 200);
  EXPECT_EQ(healthy.body, "ok");
  EXPECT_EQ(header(healthy, "Content-Type"), "text/plain; charset=utf-8");
  EXPECT_EQ(exchange(host_, port_, "HEAD /healthz HTTP/1.1\r\nHost: backend-7.internal\r\nConnection: close\r\n\r\n").status,
            200);
  EXPECT_EQ(raw("POST", "/healthz", "").status, 405);
  {
    WriteTransaction older;
    ASSERT_TRUE(older.execute(olderMigrationsSql().c_str()));
    ASSERT_EQ(older.commit(), Outcome::ok);
  }
  RawReply behind = getAs10(host_, port_, "/healthz");
  EXPECT_EQ(behind.status, 503);
  EXPECT_EQ(header(behind, "Retry-After"), std::to_string(databaseRetryAfterSeconds));
  EXPECT_NE(behind.body.find("older than this service's"), std::string::npos) << behind.body;
  {
    WriteTransaction newer;  // a rolling upgrade's next version only adds: still served
    ASSERT_TRUE(newer.execute(newerMigrationSql().c_str()));
    ASSERT_EQ(newer.commit(), Outcome::ok);
  }
  EXPECT_EQ(getAs10(host_, port_, "/healthz").status, 200);
  closeStorage();
  RawReply closed = getAs10(host_, port_, "/healthz");
  EXPECT_EQ(closed.status, 503);
  EXPECT_NE(closed.body.find("not open"), std::string::npos) << closed.body;
}

// The shared desk account cannot be locked out: one guessing address waits,
// the receptionist's own PC logs in; fifty failures from many only slow it.
TEST_F(ReceptionAccessTest, WrongPasswordsThrottleTheAddressNeverTheSharedAccount) {
  addDeskAccount("reception", "desk", "reception-desk-1");
  auto attempt = [&](const std::string& from, const std::string& password) {
    return send11(host_, port_, "POST", "/api/desk/login", json{{"name", "reception"}, {"password", password}}.dump(),
                  "application/json", "", from);
  };
  for (int i = 0; i < 10; ++i) EXPECT_EQ(attempt("127.0.0.2", "guess" + std::to_string(i)).status, 401) << i;
  RawReply throttled = attempt("127.0.0.2", "reception-desk-1");
  EXPECT_EQ(throttled.status, 429);
  EXPECT_EQ(header(throttled, "Retry-After"), "900");
  EXPECT_NE(bodyOf(throttled)["error"].get<std::string>().find("wait 15 minutes"), std::string::npos) << throttled.body;
  EXPECT_EQ(attempt("127.0.0.3", "reception-desk-1").status, 200);
  for (int from = 4; from < 8; ++from) {
    for (int i = 0; i < 10; ++i) attempt("127.0.0." + std::to_string(from), "guess");
  }
  // Fifty failures across addresses: the account is slowed, and the right password still logs in.
  EXPECT_EQ(attempt("127.0.0.9", "guess").status, 401);
  EXPECT_EQ(attempt("127.0.0.3", "reception-desk-1").status, 200);
}

// The executable: desk-user, 0600 files, the demo login.
TEST(ReceptionAccessProcess, DeskUserCommandKeepsAccountsTheServiceLogsInWith) {
  TemporaryDirectory directory;
  // A database an earlier version left readable by everyone is made private too.
  writeFileBytes(directory.path / "reception.db", "");
  ::chmod((directory.path / "reception.db").c_str(), 0644);
  std::string output;
  auto run = [&](const std::vector<std::string>& arguments, const std::string& input = "") {
    std::vector<std::string> all = {"desk-user"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    int status = runService(all, directory.path, output, input);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  EXPECT_EQ(run({"add", "maria"}, "seven77\n"), 2);
  EXPECT_EQ(output, "vestibra-reception desk-user: A password needs at least 8 characters.\n");
  EXPECT_EQ(run({"add", "maria", "--role", "admin"}, "maria-password-1\nignored\n"), 0) << output;
  EXPECT_EQ(run({"add", "Maria"}, "other-password\n"), 1);
  EXPECT_NE(output.find("already an account named Maria"), std::string::npos) << output;
  EXPECT_EQ(run({"add", "tom", "--role", "boss"}, "tom-password\n"), 1);
  EXPECT_EQ(run({"add", "tom jones"}, "tom-password\n"), 1);
  EXPECT_EQ(run({"add", "tom"}, "tom-password-1\n"), 0) << output;
  EXPECT_EQ(run({"password", "tom"}, "short\n"), 2);
  EXPECT_EQ(run({"password", "tom"}, "tom-password-2\n"), 0) << output;
  EXPECT_EQ(run({"remove", "nobody"}), 1);
  EXPECT_EQ(run({"list"}), 0);
  EXPECT_TRUE(std::regex_search(output, std::regex("\nmaria +admin +[0-9-]+ [0-9:]+ +never\ntom +desk ")));
  EXPECT_EQ(run({"add"}), 1);
  // The service's configuration file names the database, as packaged installs keep it.
  writeFileBytes(directory.path / "other.conf", "database = other.db\n");
  EXPECT_EQ(run({"add", "ines", "--config", "other.conf"}, "ines-password-1\n"), 0) << output;
  EXPECT_NE(output.find("created the database " + (directory.path / "other.db").string() + "\nadded ines"),
            std::string::npos)
      << output;
  // A mistyped database is never created; add creates one only in a folder that exists.
  for (const std::vector<std::string>& mistyped :
       {std::vector<std::string>{"list", "--database", "typo.db"}, {"remove", "tom", "--database", "typo.db"},
        {"password", "tom", "--database", "typo.db"}, {"add", "tom", "--database", "no-folder/typo.db"}}) {
    EXPECT_EQ(run(mistyped, "tom-password-3\n"), 1) << mistyped[0];
    EXPECT_NE(output.find(mistyped[0] == "add" ? "does not exist" : "there is no database"), std::string::npos) << output;
  }
  EXPECT_FALSE(std::filesystem::exists(directory.path / "typo.db"));
  EXPECT_FALSE(std::filesystem::exists(directory.path / "no-folder"));
  EXPECT_EQ(run({"list", "--config", "other.conf"}), 0);
  EXPECT_TRUE(std::regex_search(output, std::regex("\nines +desk ")) && output.find("maria") == std::string::npos) << output;

  ServiceProcess service;
  ASSERT_TRUE(service.start({"--listen", "127.0.0.1:0", "--demo"}, directory.path)) << service.output;
  EXPECT_NE(service.deskCookie, "");  // the printed demo login works
  EXPECT_NE(deskLogin(service.host, service.port, "tom", "tom-password-2"), "");
  EXPECT_EQ(deskLogin(service.host, service.port, "tom", "tom-password-1"), "");
  for (const char* file : {"reception.db", "reception.db-wal", "reception.db-shm"}) {
    struct stat status {};
    ASSERT_EQ(::stat((directory.path / file).c_str(), &status), 0) << file;
    EXPECT_EQ(status.st_mode & 0777, 0600u) << file;
  }
  std::string bytes = databaseBytes(directory.path / "reception.db");
  for (const std::string& secret : {std::string("maria-password-1"), std::string("tom-password-1"),
                                    std::string("tom-password-2"), demoPassword(service.output)}) {
    EXPECT_EQ(bytes.find(secret), std::string::npos) << secret;
  }
  EXPECT_EQ(run({"remove", "tom"}), 0);
  EXPECT_EQ(deskLogin(service.host, service.port, "tom", "tom-password-2"), "");
}

TEST(ReceptionAccessProcess, HttpsServesTheDeskAndPlainHttpRedirectsToIt) {
  TemporaryDirectory directory;
  const std::filesystem::path& dir = directory.path;
  std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 -addext "
                     "subjectAltName=IP:127.0.0.1 -keyout '" + (dir / "key.pem").string() + "' -out '" +
                     (dir / "cert.pem").string() + "' >/dev/null 2>&1";
  ASSERT_EQ(std::system(make.c_str()), 0);
  std::string other = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=other -keyout '" +
                      (dir / "other-key.pem").string() + "' -out /dev/null >/dev/null 2>&1";
  ASSERT_EQ(std::system(other.c_str()), 0);

  std::string output;
  const std::vector<std::string> base = {"--listen", "127.0.0.1:0", "--tls-listen", "127.0.0.1:0"};
  auto withTls = [&](const std::string& cert, const std::string& key) {
    std::vector<std::string> arguments = base;
    arguments.insert(arguments.end(), {"--tls-cert", cert, "--tls-key", key});
    return arguments;
  };
  runService(withTls("missing.pem", "key.pem"), dir, output);
  EXPECT_EQ(output, "vestibra-reception: cannot read the TLS certificate missing.pem: No such file or directory\n");
  runService(withTls("cert.pem", "other-key.pem"), dir, output);
  EXPECT_NE(output.find("the key does not match the certificate"), std::string::npos) << output;
  runService({"--tls-cert", "cert.pem"}, dir, output);
  EXPECT_EQ(output, "vestibra-reception: --tls-cert and --tls-key go together\n");

  ServiceProcess service;
  std::vector<std::string> arguments = withTls("cert.pem", "key.pem");
  arguments.push_back("--demo");
  ASSERT_TRUE(service.start(arguments, dir)) << service.output;
  std::smatch found;
  ASSERT_TRUE(std::regex_search(service.output, found, std::regex("front desk is at https://127.0.0.1:([0-9]+)/")));
  EXPECT_EQ(service.output.find("warning"), std::string::npos);  // the built-in key on loopback: no warning
  std::string https = "https://127.0.0.1:" + found[1].str();

  // Plain HTTP keeps the notifier API and sends the desk to HTTPS.
  EXPECT_EQ(service.deskCookie, "");
  RawReply redirected = getAs10(service.host, service.port, "/api/desk/state?x=1");
  EXPECT_EQ(redirected.status, 308);
  EXPECT_EQ(header(redirected, "Location"), https + "/api/desk/state?x=1");
  EXPECT_EQ(getAs10(service.host, service.port, std::string("/api/reception/listUsers?key=") + accessKey).status, 200);

  std::string curl = "curl -s --max-time 20 --cacert '" + (dir / "cert.pem").string() + "' -D - ";
  std::string login = curl + "-H 'Content-Type: application/json' -d '{\"name\": \"reception\", \"password\": \"" +
                      demoPassword(service.output) + "\"}' " + https + "/api/desk/login";
  std::FILE* pipe = ::popen(login.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string answer;
  char chunk[4096];
  for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) answer.append(chunk, got);
  ::pclose(pipe);
  EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
  EXPECT_NE(answer.find("Set-Cookie: __Host-vestibra_session="), std::string::npos) << answer;
  EXPECT_NE(answer.find("; HttpOnly; SameSite=Strict; Path=/; Secure"), std::string::npos) << answer;
  EXPECT_NE(answer.find("Strict-Transport-Security: max-age=31536000\r\n"), std::string::npos) << answer;
  EXPECT_EQ(header(redirected, "Strict-Transport-Security"), "");
  EXPECT_NE(answer.find(R"({"name":"reception","role":"admin"})"), std::string::npos);

  // TLS 1.2 and 1.3 with ECDHE and AEAD suites only; the client is allowed the old ones to offer them.
  auto handshakes = [&](const std::string& flags) {
    std::string command = "openssl s_client -connect 127.0.0.1:" + found[1].str() + " " + flags +
                          " </dev/null >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
  };
  const std::string old = ":@SECLEVEL=0";
  EXPECT_TRUE(handshakes("-tls1_3"));
  EXPECT_TRUE(handshakes("-tls1_2 -cipher ECDHE-RSA-AES128-GCM-SHA256"));
  EXPECT_TRUE(handshakes("-tls1_2 -cipher ECDHE-RSA-CHACHA20-POLY1305"));
  for (const std::string& refused :
       {"-tls1 -cipher DEFAULT" + old, "-tls1_1 -cipher DEFAULT" + old, std::string("-tls1_2 -cipher AES128-GCM-SHA256"),
        "-tls1_2 -cipher AES256-SHA" + old, "-tls1_2 -cipher ECDHE-RSA-AES128-SHA" + old,
        std::string("-tls1_2 -cipher ECDHE-RSA-AES256-SHA384"), std::string("-tls1_2 -cipher DHE-RSA-AES128-GCM-SHA256")}) {
    EXPECT_FALSE(handshakes(refused)) << refused;
  }
  // Without the test's certificate authority the connection is refused.
  EXPECT_NE(std::system(("curl -s --max-time 20 -o /dev/null " + https + "/").c_str()), 0);
  // So is a single sign-on provider's, unless --oidc-ca-file names the authority.
  ProviderEndpoints endpoints;
  std::string untrusted = discoverProvider(https, "", endpoints);
  EXPECT_NE(untrusted.find("certificate"), std::string::npos) << untrusted;
  EXPECT_EQ(discoverProvider(https, (dir / "cert.pem").string(), endpoints), "the discovery document answered HTTP 404");
}

namespace {

// curl over HTTPS with the test's certificate authority: the answer's headers and body.
std::string curlHttps(const std::filesystem::path& dir, const std::string& arguments) {
  std::string command = "curl -s --max-time 20 --cacert '" + (dir / "cert.pem").string() + "' -D - " + arguments;
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return "";
  std::string answer;
  char chunk[4096];
  for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) answer.append(chunk, got);
  ::pclose(pipe);
  return answer;
}

}  // namespace

// With HTTPS on and no --public-url, a push's reply link is https:// on the
// TLS port; it works there, and the access log keeps no token that would.
TEST(ReceptionAccessProcess, ReplyLinksGoOverHttpsAndStayOutOfTheAccessLog) {
  TemporaryDirectory directory;
  const std::filesystem::path& dir = directory.path;
  std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 -addext "
                     "subjectAltName=IP:127.0.0.1 -keyout '" + (dir / "key.pem").string() + "' -out '" +
                     (dir / "cert.pem").string() + "' >/dev/null 2>&1";
  ASSERT_EQ(std::system(make.c_str()), 0);
  LoopbackServer hook({{httpResponse("ok")}});
  ASSERT_TRUE(hook.listening());
  ServiceProcess service;
  ASSERT_TRUE(service.start({"--listen", "127.0.0.1:0", "--tls-listen", "127.0.0.1:0", "--tls-cert", "cert.pem",
                             "--tls-key", "key.pem", "--demo", "--alert-allow-loopback", "--access-log", "access.log"},
                            dir))
      << service.output;
  std::smatch found;
  ASSERT_TRUE(std::regex_search(service.output, found, std::regex("front desk is at https://127.0.0.1:([0-9]+)/")));
  std::string https = "https://127.0.0.1:" + found[1].str();
  std::string login = curlHttps(dir, "-H 'Content-Type: application/json' -d '{\"name\": \"reception\", \"password\": \"" +
                                         demoPassword(service.output) + "\"}' " + https + "/api/desk/login");
  std::smatch cookie;
  ASSERT_TRUE(std::regex_search(login, cookie, std::regex("Set-Cookie: (__Host-vestibra_session=[^;]+)"))) << login;
  std::string asDesk = "-H 'Cookie: " + cookie[1].str() + "' -H 'Content-Type: application/json' ";
  std::string put = curlHttps(dir, asDesk + "-X PUT -d '{\"alertUrl\": \"http://" + hook.host() + "/p\"}' " + https +
                                       "/api/desk/staff/1");
  ASSERT_EQ(put.rfind("HTTP/1.1 200", 0), 0u) << put;
  std::string announced = curlHttps(dir, asDesk + "-d '{\"staffId\": 1, \"guestName\": \"Ada Lovelace\", \"note\": \"\"}' " +
                                             https + "/api/desk/notifications");
  ASSERT_EQ(announced.rfind("HTTP/1.1 201", 0), 0u) << announced;
  // The host never polled: the push goes out within the worker's half-second round.
  for (int waited = 0; waited < 100 && hook.requests().empty(); ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_FALSE(hook.requests().empty());
  std::string request = hook.requests()[0];
  std::string link = nlohmann::json::parse(request.substr(request.find("\r\n\r\n") + 4))["acknowledgeUrl"];
  std::smatch parts;
  ASSERT_TRUE(std::regex_match(link, parts, std::regex("https://[^/:]+:" + found[1].str() + "/ack/([A-Za-z0-9_-]{43})")))
      << link;
  std::string token = parts[1].str();
  std::string page = curlHttps(dir, https + "/ack/" + token);
  EXPECT_EQ(page.rfind("HTTP/1.1 200", 0), 0u) << page;
  EXPECT_NE(page.find("Ada Lovelace"), std::string::npos);
  std::string log = readFileBytes(dir / "access.log");
  EXPECT_NE(log.find("\"GET /ack/" + token.substr(0, 4) + "- HTTP/1.1\" 200"), std::string::npos) << log;
  EXPECT_EQ(log.find(token), std::string::npos) << log;
}

// Started as root with --user: the ports are bound first, the database is
// then created by that user.
TEST(ReceptionAccessProcess, UserDropsRootBeforeTheDatabaseIsOpened) {
  TemporaryDirectory directory;
  std::string output;
  int status = runService({"--listen", "127.0.0.1:0", "--user", "no-such-user-here"}, directory.path, output);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
  EXPECT_EQ(output, "vestibra-reception: --user: there is no user named no-such-user-here\n");
  EXPECT_FALSE(std::filesystem::exists(directory.path / "reception.db"));
  if (::geteuid() != 0) GTEST_SKIP() << "the switch itself needs root";

  // cppcheck-suppress getpwnamCalled  ; the test looks up one user, on one thread
  passwd* nobody = ::getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  ASSERT_EQ(::chown(directory.path.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  ServiceProcess service;
  ASSERT_TRUE(service.start({"--listen", "127.0.0.1:0", "--user", "nobody", "--demo"}, directory.path)) << service.output;
  struct stat file {};
  ASSERT_EQ(::stat((directory.path / "reception.db").c_str(), &file), 0);
  EXPECT_EQ(file.st_uid, nobody->pw_uid);
  EXPECT_EQ(file.st_gid, nobody->pw_gid);
  std::string processStatus = readFileBytes("/proc/" + std::to_string(service.pid) + "/status");
  std::string ids = std::to_string(nobody->pw_uid);
  EXPECT_NE(processStatus.find("\nUid:\t" + ids + "\t" + ids + "\t" + ids + "\t" + ids + "\n"), std::string::npos);
  EXPECT_NE(service.deskCookie, "");
}

// A symbolic link in place of the database or its -wal or -shm is refused at
// start, and what it points to is neither opened nor changed.
TEST(ReceptionAccessProcess, SymbolicLinksInPlaceOfTheDatabaseAreRefused) {
  TemporaryDirectory directory;
  const std::filesystem::path& dir = directory.path;
  const std::filesystem::path elsewhere = dir / "elsewhere";
  std::ofstream(elsewhere) << "someone else's file";
  ASSERT_EQ(::chmod(elsewhere.c_str(), 0644), 0);
  for (const std::string linked : {"reception.db", "reception.db-wal", "reception.db-shm"}) {
    std::filesystem::create_symlink(elsewhere, dir / linked);
    std::string output;
    int status = runService({"--listen", "127.0.0.1:0", "--database", "reception.db"}, dir, output);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << linked;
    EXPECT_NE(output.find("the database file reception.db" + linked.substr(12) + " is a symbolic link"), std::string::npos)
        << output;
    std::filesystem::remove(dir / linked);
  }
  struct stat target {};
  ASSERT_EQ(::stat(elsewhere.c_str(), &target), 0);
  EXPECT_EQ(target.st_mode & 0777, 0644u);
  EXPECT_EQ(readFileBytes(elsewhere), "someone else's file");
}

// Off loopback, a start with the key built into every notifier says so. The
// address is one this machine does not have (a documentation address), so
// the start ends at the bind, with nothing sent anywhere.
TEST(ReceptionAccessProcess, TheBuiltInKeyIsNamedAtStartOffLoopback) {
  TemporaryDirectory directory;
  std::string output;
  runService({"--listen", "192.0.2.1:0"}, directory.path, output);
  EXPECT_EQ(output.rfind("vestibra-reception: warning: notifiers on 192.0.2.1 are served with the key built into every "
                         "notifier",
                         0),
            0u)
      << output;
  runService({"--listen", "192.0.2.1:0", "--key", "own-key-1"}, directory.path, output);
  EXPECT_EQ(output, "vestibra-reception: cannot listen on 192.0.2.1:0: Cannot assign requested address\n");
}
