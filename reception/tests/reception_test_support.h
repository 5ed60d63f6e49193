// Helpers for the reception service tests: raw HTTP exchanges, the service
// run in-process on a free port, and the service run as its own process.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "postgres_test_support.h"
#include "service.h"

struct RawReply {
  bool complete = false;  // the server answered and closed the connection
  int status = 0;
  std::string headers;
  std::string body;
};

// Sends request bytes on a fresh connection and reads until the server
// closes it (at most 10 s); from the loopback address source when given.
RawReply exchange(const std::string& host, std::uint16_t port, const std::string& request,
                  const std::string& source = "");
// An HTTP/1.0 GET without keep-alive, as notifiers send it.
RawReply getAs10(const std::string& host, std::uint16_t port, const std::string& target);
// An HTTP/1.1 request with Connection: close and an optional body.
RawReply send11(const std::string& host, std::uint16_t port, const std::string& method, const std::string& target,
                const std::string& body = "", const std::string& contentType = "application/json",
                const std::string& extraHeaders = "", const std::string& source = "");
// A response header's value, or "".
std::string header(const RawReply& reply, const std::string& name);
// Logs in through POST /api/desk/login: the "Cookie: ...\r\n" header line
// for the session, or "" when the login failed.
std::string deskLogin(const std::string& host, std::uint16_t port, const std::string& name, const std::string& password);
// The password from the "desk login: reception / PASSWORD" line of --demo.
std::string demoPassword(const std::string& output);
// Hashing at libsodium's lowest cost, so tests do not wait 0.1 s per login.
void useCheapPasswordHashing();

// A fresh temporary directory, removed with the object.
struct TemporaryDirectory {
  TemporaryDirectory();
  ~TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  std::filesystem::path path;
};

// The service in this process, on 127.0.0.1 and a free port, with its own
// database in a temporary directory.
class InProcessServiceTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Starts serving; address "127.0.0.1" with port 0, or another loopback address and port.
  void startService(const std::string& address = "127.0.0.1", std::uint16_t port = 0);
  // As startService; false when the address and port cannot be had.
  bool tryStartService(const std::string& address, std::uint16_t port);

  // Desk targets (/api/desk/...) go with the admin session of the test.
  RawReply get(const std::string& target);
  RawReply post(const std::string& target, const std::string& body) { return send("POST", target, body); }
  RawReply send(const std::string& method, const std::string& target, const std::string& body = "",
                const std::string& contentType = "application/json");
  // An account of that role, made directly in the storage.
  void addDeskAccount(const std::string& name, const std::string& role, const std::string& password);
  nlohmann::json state();
  std::int64_t addStaffMember(const std::string& firstName, const std::string& lastName);
  std::int64_t announce(std::int64_t staffId, const std::string& guestName, const std::string& note);
  // The first column of the query's last row as the database holds it, read
  // on a connection of the test's own: "(none)" without a row, "NULL".
  std::string storedValue(const std::string& sql);

  TemporaryDirectory directory_;
  ServiceSettings settings_;  // what the service is started with; a test may change it first
  std::string host_;
  std::uint16_t port_ = 0;
  bool serving_ = false;
  std::string adminCookie_;  // the Cookie header line of the test's admin session
  // What the service stores in: the SQLite file in directory_, or (on the
  // postgresql label) a database of the test's own.
  std::string database_;
  TestPostgresDatabase postgres_;
};

// A fixed wall clock the tests move by hand; each test starts it at
// 2026-01-02 09:30:05 UTC.
extern std::atomic<std::int64_t> fakeNow;

// InProcessServiceTest on the fake clock, in UTC, serving from SetUp.
class FakeClockServiceTest : public InProcessServiceTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::int64_t (*realTime_)() = nullptr;  // the service's own clock, for tests that need it
};

// The service as a child process; stopped (SIGTERM, then SIGKILL) on destruction.
struct ServiceProcess {
  ServiceProcess() = default;
  ~ServiceProcess();
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  // Starts the executable with these arguments in directory and waits (at
  // most 20 s) for its "listening on" line; false if it exits first.
  bool start(const std::vector<std::string>& arguments, const std::filesystem::path& directory);
  // Sends the signal and waits for the exit; the exit status as waitpid gives it.
  int stop(int signal);

  pid_t pid = -1;
  std::string host;
  std::uint16_t port = 0;
  std::string output;  // standard output and error up to the start
  std::filesystem::path logPath;
  std::string deskCookie;  // with --demo: the Cookie header line of a session as the demo admin
};

// Runs the executable to completion (at most 20 s) and captures its output;
// input is its standard input.
int runService(const std::vector<std::string>& arguments, const std::filesystem::path& directory, std::string& output,
               const std::string& input = "");
