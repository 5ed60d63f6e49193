// The vestibra-reception executable itself: its command line, and that
// nothing it answered is lost across a restart or a kill during writes.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "http/server.h"
#include "reception_client.h"
#include "reception_test_support.h"
#include "test_support.h"

namespace {

using nlohmann::json;

const std::vector<std::string> freePort = {"--listen", "127.0.0.1:0"};

std::vector<std::string> withFreePort(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), freePort.begin(), freePort.end());
  return arguments;
}

json deskState(const ServiceProcess& service) {
  RawReply reply = send11(service.host, service.port, "GET", "/api/desk/state", "", "", service.deskCookie);
  EXPECT_EQ(reply.status, 200);
  return json::parse(reply.body, nullptr, false);
}

RawReply postJson(const ServiceProcess& service, const std::string& target, const json& body) {
  return send11(service.host, service.port, "POST", target, body.dump(), "application/json", service.deskCookie);
}

// The state without what changes with time alone.
json lasting(json state) {
  state.erase("now");
  for (json& staff : state["staff"]) staff.erase("online");
  return state;
}

bool exitedCleanly(int status) { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

}  // namespace

TEST(ReceptionProcess, HelpAndBadOptions) {
  TemporaryDirectory directory;
  std::string output;
  EXPECT_TRUE(exitedCleanly(runService({"--help"}, directory.path, output)));
  EXPECT_NE(output.find("Usage: vestibra-reception"), std::string::npos);

  int status = runService({"--port", "http"}, directory.path, output);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
  EXPECT_EQ(output, "vestibra-reception: --port: \"http\" is not a port number (0 to 65535)\n");
  runService(withFreePort({"--code-page", "KLINGON"}), directory.path, output);
  EXPECT_EQ(output, "vestibra-reception: the code page KLINGON is unknown to iconv or does not keep ASCII as it is\n");
  EXPECT_FALSE(std::filesystem::exists(directory.path / "reception.db"));
}

TEST(ReceptionProcess, PortInUseAndUnusableDatabaseAreReported) {
  TemporaryDirectory directory;
  std::string error;
  int taken = openListener("127.0.0.1", 0, error);
  ASSERT_GE(taken, 0) << error;
  std::string port = std::to_string(listeningPort(taken));
  std::string output;
  int status = runService({"--listen", "127.0.0.1:" + port}, directory.path, output);
  ::close(taken);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
  EXPECT_EQ(output, "vestibra-reception: 127.0.0.1:" + port + " is already in use by another program\n");

  runService(withFreePort({"--database", "missing/dir/reception.db"}), directory.path, output);
  EXPECT_EQ(output.rfind("vestibra-reception: cannot open the database missing/dir/reception.db: ", 0), 0u) << output;

  std::filesystem::create_directory(directory.path / "a-directory");
  runService(withFreePort({"--database", "a-directory"}), directory.path, output);
  EXPECT_EQ(output.rfind("vestibra-reception: cannot open the database a-directory: ", 0), 0u) << output;

  writeFileBytes(directory.path / "not-a-database", std::string(4096, 'x'));
  runService(withFreePort({"--database", "not-a-database"}), directory.path, output);
  EXPECT_EQ(output, "vestibra-reception: cannot use the database not-a-database: file is not a database\n");
}

// What would fail only later stops the start, naming the option, the file
// and the reason; files are read as the user the service runs as.
TEST(ReceptionProcess, StartChecksRefuseWhatWouldFailLater) {
  TemporaryDirectory directory;
  std::filesystem::path secret = directory.path / "root-only";
  writeFileBytes(secret, "Secret1\n");
  std::filesystem::permissions(secret, std::filesystem::perms::none);
  // Root reads any file: as root, the service drops to nobody first, as the packaged one does.
  std::vector<std::string> asUser = ::geteuid() == 0 ? std::vector<std::string>{"--user", "nobody"} : std::vector<std::string>{};
  writeFileBytes(directory.path / "bad.key", "not a key\n");
  const std::string unreadable = " " + secret.string() + " cannot be read by the user the service runs as: Permission denied\n";
  const struct {
    std::vector<std::string> arguments;
    std::string expected;
  } cases[] = {
      {{"--ldap-url", "ldap://127.0.0.1:1", "--ldap-base", "dc=x", "--ldap-bind-dn", "cn=r", "--ldap-bind-password-file",
        secret.string()},
       "vestibra-reception: --ldap-bind-password-file" + unreadable},
      {{"--smtp-url", "smtp://127.0.0.1:1", "--smtp-from", "a@b.example", "--smtp-ca-file", secret.string()},
       "vestibra-reception: --smtp-ca-file" + unreadable},
      {{"--key", "x", "--key-file", secret.string()}, "vestibra-reception: --key-file" + unreadable},
      {{"--key-file", "bad.key"}, "vestibra-reception: --key-file bad.key: its first line is not a key (1 to 128 letters, digits or -._~)\n"},
      {{"--public-url", "http://localhost:8080/"},
       "vestibra-reception: --public-url http://localhost:8080/: the desk would refuse its reply links with 421, since the "
       "service does not listen on port 8080 (give the port a browser uses to reach this service, or leave it out; "
       "behind a load balancer on that port, say so with --host-name localhost:8080)\n"},
  };
  for (const auto& [arguments, expected] : cases) {
    std::vector<std::string> all = withFreePort(arguments);
    if (arguments[0] != "--key-file" && arguments[0] != "--public-url") all.insert(all.end(), asUser.begin(), asUser.end());
    std::string output;
    int status = runService(all, directory.path, output);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << arguments[0];
    EXPECT_EQ(output, expected);
  }
  EXPECT_FALSE(std::filesystem::exists(directory.path / "reception.db")) << "refused before the database was made";

  // The key from its file (the last of --key and --key-file wins); a public
  // URL on an unknown name is answered, with a warning naming host-name; a
  // load balancer's name and port is answered exactly as given.
  writeFileBytes(directory.path / "notifier.key", " File-Key.1 \r\n");
  const std::string installer("MSI\0bytes\xff", 10);
  writeFileBytes(directory.path / "vestibra.msi", installer);
  ServiceProcess service;
  ASSERT_TRUE(service.start(withFreePort({"--key", "other", "--key-file", "notifier.key", "--public-url",
                                          "http://Desk.Unknown.example/", "--notifier-msi", "vestibra.msi", "--demo",
                                          "--host-name", "LB.example:8443"}),
                            directory.path)) << service.output;
  // The installer offered for download beside the install line.
  RawReply download = send11(service.host, service.port, "GET", "/downloads/vestibra-win64.msi");
  EXPECT_EQ(download.status, 200);
  EXPECT_EQ(download.body, installer);
  EXPECT_EQ(header(download, "Content-Type"), "application/x-msi");
  RawReply setup = send11(service.host, service.port, "GET", "/api/desk/notifier-setup", "", "", service.deskCookie);
  EXPECT_EQ(json::parse(setup.body, nullptr, false)["installer"], "/downloads/vestibra-win64.msi") << setup.body;
  EXPECT_EQ(json::parse(setup.body, nullptr, false)["key"], "File-Key.1");
  EXPECT_NE(service.output.find("warning: --public-url names desk.unknown.example, which is not one of this machine's "
                                "names; the desk answers to it too. Say so with \"host-name = desk.unknown.example\""),
            std::string::npos) << service.output;
  EXPECT_EQ(getAs10(service.host, service.port, "/api/reception/listUsers?key=File-Key.1").status, 200);
  EXPECT_EQ(getAs10(service.host, service.port, "/api/reception/listUsers?key=other").status, 403);
  auto pageAs = [&service](const std::string& host) {
    return exchange(service.host, service.port, "GET / HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n");
  };
  EXPECT_EQ(pageAs("desk.unknown.example").status, 200);
  EXPECT_EQ(pageAs("lb.example:8443").status, 200);
  for (const std::string& refusedHost : {std::string("lb.example:8444"), std::string("lb.example"),
                                         "lb.example:" + std::to_string(service.port)}) {
    RawReply refused = pageAs(refusedHost);
    EXPECT_EQ(refused.status, 421) << refusedHost;
    EXPECT_NE(refused.body.find("lb.example:8443"), std::string::npos) << refused.body;
    EXPECT_NE(refused.body.find("must be given with that port: \"host-name = NAME:PORT\""), std::string::npos)
        << refused.body;
  }
  // Run by hand (not under the journal), each line of the service's log starts with its time.
  std::string log = readFileBytes(service.logPath);
  std::regex stamped(R"((^|\n)\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{3})?(Z|[+-]\d\d:\d\d) vestibra-reception: )"
                     R"(refused 421 from 127\.0\.0\.1: the desk does not answer to the host name "lb\.example:8444"\n)");
  EXPECT_TRUE(std::regex_search(log, stamped)) << log;
}

TEST(ReceptionProcess, EverythingAnsweredSurvivesARestart) {
  TemporaryDirectory directory;
  ServiceProcess service;
  ASSERT_TRUE(service.start(withFreePort({"--demo", "--key", "deskTest1"}), directory.path)) << service.output;
  json staff = deskState(service)["staff"];
  ASSERT_EQ(staff.size(), 4u);  // the demo directory, by last name
  std::size_t anna = 3;  // Anna Schmidt: a name in ASCII, sent as it is
  ASSERT_EQ(staff[anna]["lastName"], "Schmidt");
  std::int64_t host = staff[anna]["id"];
  EXPECT_EQ(postJson(service, "/api/desk/staff", {{"name", "Zoë Brontë"}}).status, 201);
  json first = json::parse(postJson(service, "/api/desk/notifications", {{"staffId", host}, {"guestName", "Ada"}}).body);
  postJson(service, "/api/desk/notifications", {{"staffId", host}, {"guestName", "Grace"}, {"note", "Lobby"}});
  std::string name = staff[anna]["firstName"].get<std::string>() + "&ln=" + staff[anna]["lastName"].get<std::string>();
  RawReply polled = getAs10(service.host, service.port, "/api/reception/getNotification?key=deskTest1&fn=" + name);
  EXPECT_NE(polled.body.find("|Grace|Lobby|"), std::string::npos);
  EXPECT_EQ(getAs10(service.host, service.port,
                    "/api/reception/archiveNotification?key=deskTest1&id=" + std::to_string(first["id"].get<int>()))
                .body,
            "1");
  json before = deskState(service);
  // The poll shows at once, and its time, kept in memory, is saved on the stop.
  ASSERT_EQ(before["staff"][anna + 1]["id"], host);  // after Zoë Brontë
  EXPECT_EQ(before["staff"][anna + 1]["online"], true);
  EXPECT_FALSE(before["staff"][anna + 1]["lastPollAt"].is_null());
  EXPECT_TRUE(exitedCleanly(service.stop(SIGTERM)));

  ServiceProcess restarted;
  ASSERT_TRUE(restarted.start(withFreePort({"--demo"}), directory.path)) << restarted.output;
  EXPECT_EQ(lasting(deskState(restarted)), lasting(before));
  EXPECT_EQ(deskState(restarted)["staff"].size(), 5u);  // --demo adds nothing to a directory in use
  EXPECT_EQ(getAs10(restarted.host, restarted.port, "/api/reception/listUsers?key=deskTest1").status, 403);
  EXPECT_EQ(getAs10(restarted.host, restarted.port, std::string("/api/reception/listUsers?key=") + accessKey).status,
            200);
}

// Announcements are posted one after another while the service is killed
// with SIGKILL: every one that got its answer is there after a restart.
TEST(ReceptionProcess, NothingAnsweredIsLostWhenKilledDuringWrites) {
  TemporaryDirectory directory;
  ServiceProcess service;
  // Every guest waits for one host: more than the default cap allows.
  ASSERT_TRUE(service.start(withFreePort({"--demo", "--max-waiting-per-host", "10000"}), directory.path)) << service.output;
  std::int64_t host = deskState(service)["staff"][0]["id"];

  std::vector<std::int64_t> answered;
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    // Bounded: at most 5000 posts, or until the service is gone.
    for (int i = 0; i < 5000 && !stop; ++i) {
      RawReply reply = postJson(service, "/api/desk/notifications",
                                {{"staffId", host}, {"guestName", "Guest " + std::to_string(i)}});
      if (reply.status != 201) break;
      answered.push_back(json::parse(reply.body)["id"].get<std::int64_t>());
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  int status = service.stop(SIGKILL);
  stop = true;
  writer.join();
  EXPECT_TRUE(WIFSIGNALED(status));
  ASSERT_GT(answered.size(), 10u);
  std::printf("%zu announcements answered before the kill\n", answered.size());

  ServiceProcess restarted;
  ASSERT_TRUE(restarted.start(withFreePort({"--demo", "--max-waiting-per-host", "10000"}), directory.path)) << restarted.output;
  json guests = deskState(restarted)["notifications"];
  std::set<std::int64_t> stored;
  for (const json& guest : guests) stored.insert(guest["id"].get<std::int64_t>());
  for (std::int64_t id : answered) EXPECT_EQ(stored.count(id), 1u) << "guest " << id << " was lost";
  EXPECT_GE(stored.size(), answered.size());
  // Ids go on from the highest ever stored, so notifiers never see one twice.
  json next = json::parse(postJson(restarted, "/api/desk/notifications", {{"staffId", host}, {"guestName", "After"}}).body);
  EXPECT_GT(next["id"].get<std::int64_t>(), *stored.rbegin());
}

// --access-log: one combined-format line per request, the notifiers' key
// masked, client text escaped; SIGHUP lets a rotated file go.
TEST(ReceptionProcess, AccessLogIsCombinedFormatAndReopenedOnHangUp) {
  TemporaryDirectory directory;
  ServiceProcess service;
  ASSERT_TRUE(service.start(withFreePort({"--access-log", "access.log", "--key", "secretKey1"}), directory.path))
      << service.output;
  std::string target = "/api/reception/listUsers?key=secretKey1&x=1";
  RawReply listed = exchange(service.host, service.port,
                             "GET " + target + " HTTP/1.0\r\nReferer: http://desk/\r\nUser-Agent: a \"quoted\" agent\r\n\r\n");
  ASSERT_EQ(listed.status, 403) << "a browser's headers: refused, and logged as any request";
  std::string first = readFileBytes(directory.path / "access.log");
  std::regex line(R"(^127\.0\.0\.1 - - \[\d\d/\w{3}/\d{4}:\d\d:\d\d:\d\d [+-]\d{4}\] )"
                  R"("GET /api/reception/listUsers\?key=-&x=1 HTTP/1\.0" 403 (\d+|-) "http://desk/" "a \\"quoted\\" agent"\n$)");
  EXPECT_TRUE(std::regex_match(first, line)) << first;
  EXPECT_EQ(first.find("secretKey1"), std::string::npos);

  std::filesystem::rename(directory.path / "access.log", directory.path / "access.log.1");
  ASSERT_EQ(::kill(service.pid, SIGHUP), 0);
  // Bounded: the signal is handled within moments; 100 tries of 50 ms.
  for (int i = 0; i < 100 && !std::filesystem::exists(directory.path / "access.log"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(getAs10(service.host, service.port, "/nowhere").status, 404);
  EXPECT_EQ(readFileBytes(directory.path / "access.log.1"), first);
  EXPECT_NE(readFileBytes(directory.path / "access.log").find("\"GET /nowhere HTTP/1.0\" 404 "), std::string::npos);
  EXPECT_TRUE(exitedCleanly(service.stop(SIGTERM)));
}
