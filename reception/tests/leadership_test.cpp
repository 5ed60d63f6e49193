// Leadership of the background work across instances on one PostgreSQL
// database, against a real server (scripts/postgres-server) on loopback.
#include <libpq-fe.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "reception_test_support.h"
#include "store/leadership.h"

namespace {

// A port no one listens on now, for the server to take.
int freeLoopbackPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(fd);
  return port;
}

// The script's output and exit status.
int runScript(const std::string& arguments, std::string& output) {
  FILE* pipe = ::popen((std::string(POSTGRES_SERVER_SCRIPT) + " " + arguments + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

template <typename Condition>
bool within(std::chrono::milliseconds limit, Condition condition) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

class PostgresServer {
 public:
  explicit PostgresServer(const std::filesystem::path& folder) : folder_(folder / "pg") {}
  ~PostgresServer() {
    std::string ignored;
    if (started_) runScript("stop " + folder_.string() + " immediate", ignored);
  }
  // 77: PostgreSQL is not installed.
  int start(std::string& output) {
    int status = runScript("start " + folder_.string() + " " + std::to_string(freeLoopbackPort()), output);
    started_ = status == 0;
    if (started_) uri_ = output.substr(0, output.find('\n'));
    return status;
  }
  const std::string& uri() const { return uri_; }

 private:
  std::filesystem::path folder_;
  bool started_ = false;
  std::string uri_;
};

}  // namespace

// One of two instances leads; one whose session is cut stops leading; when
// the leader goes, the other takes over within 10 s.
TEST(Leadership, OneOfTwoLeadsAndTheOtherTakesOverWhenTheLeaderGoes) {
  TemporaryDirectory directory;
  PostgresServer server(directory.path);
  std::string output;
  int started = server.start(output);
  if (started == 77) GTEST_SKIP() << output;
  ASSERT_EQ(started, 0) << output;

  EXPECT_TRUE(isLeader()) << "a process without a PostgreSQL database leads";
  std::atomic<int> stops[2] = {{0}, {0}};
  auto lockOf = [&](int which) {
    return std::make_unique<LeaderLock>(server.uri(), "", [&stops, which](bool leading) { stops[which] += leading ? 0 : 1; });
  };
  std::unique_ptr<LeaderLock> locks[2];
  locks[0] = lockOf(0);
  ASSERT_TRUE(within(std::chrono::seconds(10), [&] { return locks[0]->leading(); }));
  locks[1] = lockOf(1);
  std::this_thread::sleep_for(std::chrono::milliseconds(leaderRetryMs + 500));
  EXPECT_FALSE(locks[1]->leading());
  EXPECT_TRUE(locks[0]->leading());

  // The leader's session ended by the server: it stops leading, and one of them leads again.
  PGconn* admin = PQconnectdb(server.uri().c_str());
  ASSERT_EQ(PQstatus(admin), CONNECTION_OK) << PQerrorMessage(admin);
  PGresult* cut = PQexec(admin, ("SELECT pg_terminate_backend(pid) FROM pg_locks WHERE locktype = 'advisory' AND objid = " +
                                 std::to_string(leaderLockKey & 0xffffffff)).c_str());
  EXPECT_EQ(PQresultStatus(cut), PGRES_TUPLES_OK) << PQerrorMessage(admin);
  EXPECT_EQ(PQntuples(cut), 1);
  PQclear(cut);
  PQfinish(admin);
  EXPECT_TRUE(within(std::chrono::seconds(8), [&] { return stops[0] > 0; })) << "a leader whose session is gone stops leading";
  ASSERT_TRUE(within(std::chrono::seconds(10), [&] { return locks[0]->leading() != locks[1]->leading(); }));

  // The leader goes (its connection closed, as a killed process's is): the other takes over within 10 s.
  int leader = locks[0]->leading() ? 0 : 1;
  auto gone = std::chrono::steady_clock::now();
  locks[leader].reset();
  EXPECT_TRUE(within(std::chrono::seconds(10), [&] { return locks[1 - leader]->leading(); }));
  EXPECT_LT(std::chrono::steady_clock::now() - gone, std::chrono::seconds(10));
}
