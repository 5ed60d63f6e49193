// What only the PostgreSQL backend has: a server that goes away and comes
// back under a running service, and a schema newer than the service knows.
// Each test starts a server of its own (scripts/postgres-server) on a port
// of its own, so stopping it disturbs no other test.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "reception_client.h"
#include "reception_test_support.h"
#include "store/schema.h"

namespace {

using nlohmann::json;

constexpr int serverPort = OWN_POSTGRES_PORT;  // beside the postgresql label's server

// scripts/postgres-server with arguments, its output dropped; its exit
// status (77: PostgreSQL is not installed). The script bounds its own waits.
int postgresServer(std::vector<std::string> arguments) {
  std::string script = POSTGRES_SERVER_SCRIPT;
  std::vector<char*> argv{script.data()};
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    int quiet = ::open("/dev/null", O_WRONLY);
    if (quiet >= 0) ::dup2(quiet, 1);
    ::execv(script.c_str(), argv.data());
    ::_exit(127);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class PostgresServerTest : public InProcessServiceTest {
 protected:
  void SetUp() override {
    data_ = (directory_.path / "postgresql").string();
    int started = postgresServer({"start", data_, std::to_string(serverPort)});
    if (started == 77) GTEST_SKIP() << "PostgreSQL 15 is not installed (scripts/install-deps reception)";
    ASSERT_EQ(started, 0);
    running_ = true;
    setenv("VESTIBRA_TEST_POSTGRES", ("postgresql://postgres@127.0.0.1:" + std::to_string(serverPort) + "/postgres").c_str(), 1);
    InProcessServiceTest::SetUp();
  }
  void TearDown() override {
    InProcessServiceTest::TearDown();
    if (running_) postgresServer({"stop", data_, "immediate"});
    unsetenv("VESTIBRA_TEST_POSTGRES");
  }

  RawReply announceRaw(std::int64_t staffId, const std::string& guestName) {
    return post("/api/desk/notifications", json{{"staffId", staffId}, {"guestName", guestName}, {"note", ""}}.dump());
  }
  RawReply poll() { return get(std::string("/api/reception/getNotification?key=") + accessKey + "&fn=Anna&ln=Schmidt"); }

  std::string data_;
  bool running_ = false;
};

// Writes and logins while the server is down are refused with 503 and
// Retry-After (never a 200 for what was not stored); polls answer what is
// known or 503; once the server is back the same service answers normally,
// with nothing lost.
TEST_F(PostgresServerTest, LosingTheServerAnswers503UntilItIsBackWithoutARestart) {
  startService();
  std::int64_t anna = addStaffMember("Anna", "Schmidt");
  std::int64_t ada = announce(anna, "Ada", "Lobby");
  ASSERT_EQ(poll().status, 200);

  ASSERT_EQ(postgresServer({"stop", data_, "fast"}), 0);
  for (int attempt = 0; attempt < 3; ++attempt) {
    RawReply refused = announceRaw(anna, "Bo");
    EXPECT_EQ(refused.status, 503) << refused.body;
    EXPECT_FALSE(header(refused, "Retry-After").empty());
    RawReply polled = poll();
    EXPECT_TRUE(polled.status == 503 || (polled.status == 200 && polled.body.find(std::to_string(ada) + "|") == 0))
        << polled.status << " " << polled.body;
    EXPECT_EQ(get("/api/desk/state").status, 503);
    // A login says the database is away, not that the service is busy.
    RawReply login = send11(host_, port_, "POST", "/api/desk/login",
                            R"({"name": "test-admin", "password": "test-admin-password"})");
    EXPECT_EQ(login.status, 503);
    EXPECT_NE(login.body.find("cannot reach its database"), std::string::npos) << login.body;
  }

  ASSERT_EQ(postgresServer({"start", data_, std::to_string(serverPort)}), 0);
  RawReply stored = announceRaw(anna, "Cy");
  ASSERT_EQ(stored.status, 201) << stored.body;
  std::int64_t cy = json::parse(stored.body)["id"].get<std::int64_t>();
  std::string both = std::to_string(ada) + "|";
  RawReply polled = poll();
  EXPECT_EQ(polled.status, 200);
  EXPECT_EQ(polled.body.find(both), 0u) << polled.body;
  EXPECT_NE(polled.body.find("," + std::to_string(cy) + "|"), std::string::npos) << polled.body;
  json guests = state()["notifications"];
  EXPECT_EQ(guests.size(), 2u) << guests.dump();
}

// A database written by a newer version is refused with both versions named;
// one at this version opens again.
TEST_F(PostgresServerTest, ASchemaNewerThanTheServiceIsRefused) {
  closeStorage();
  const std::string newer = std::to_string(serviceSchemaVersion() + 1);
  ASSERT_EQ(postgres_.execute("INSERT INTO schema_migrations (version, name, applied_at) VALUES (" + newer + ", 'later', 1)"), "");
  std::string refused = openStorage(postgres_.uri());
  EXPECT_NE(refused.find("written by a newer version of this service: its schema is at migration " + newer +
                         ", this version knows migrations up to " + std::to_string(serviceSchemaVersion())),
            std::string::npos)
      << refused;
  EXPECT_EQ(refused.find("postgres@"), std::string::npos) << "the URI is not repeated: " << refused;
  ASSERT_EQ(postgres_.execute("DELETE FROM schema_migrations WHERE version = " + newer), "");
  EXPECT_EQ(openStorage(postgres_.uri()), "");
}

// A login that must give a password gets it from --database-password-file
// (its first line, never printed); without it, or with a wrong one, the
// command fails with the server's reason.
TEST_F(PostgresServerTest, ALoginThatNeedsAPasswordTakesItFromTheFile) {
  for (const char* sql : {"CREATE ROLE password_logins NOLOGIN",
                          "CREATE ROLE reception_login LOGIN PASSWORD 'tide pool 7' IN ROLE password_logins",
                          "CREATE DATABASE reception_owned OWNER reception_login"}) {
    ASSERT_EQ(postgres_.execute(sql), "") << sql;
  }
  std::string uri = "postgresql://reception_login@127.0.0.1:" + std::to_string(serverPort) + "/reception_owned";
  auto passwordFile = [this](const std::string& name, const std::string& text) {
    std::filesystem::path path = directory_.path / name;
    std::ofstream(path) << text;
    std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    return path.string();
  };
  struct Case {
    const char* what;
    std::vector<std::string> extra;
    bool opens;
  };
  const Case cases[] = {
      {"no password", {}, false},
      {"a wrong one", {"--database-password-file", passwordFile("wrong", "tide pool 8\n")}, false},
      {"the right one", {"--database-password-file", passwordFile("right", "tide pool 7\nignored\n")}, true},
  };
  for (const Case& c : cases) {
    std::vector<std::string> arguments{"desk-user", "list", "--database", uri};
    arguments.insert(arguments.end(), c.extra.begin(), c.extra.end());
    std::string output;
    int status = runService(arguments, directory_.path, output);
    EXPECT_EQ(status == 0, c.opens) << c.what << ": " << output;
    EXPECT_EQ(output.find("tide pool"), std::string::npos) << c.what << ": the password is printed: " << output;
    if (!c.opens) {
      EXPECT_NE(output.find("password"), std::string::npos) << c.what << ": " << output;
    }
  }
  std::string output;
  EXPECT_EQ(runService({"erase-visitor", "--name", "Ada Lovelace", "--database", uri, "--database-password-file",
                        (directory_.path / "right").string()},
                       directory_.path, output),
            0)
      << output;
}

}  // namespace
