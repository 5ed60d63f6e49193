#include "reception_test_support.h"

#include "desk/known_addresses.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <thread>

#include <sodium.h>
#include <sqlite3.h>

#include "store/accounts.h"
#include "text/code_page.h"
#include "rules/login_throttle.h"
#include "http/request_guard.h"
#include "http/server.h"
#include "notifier/api.h"
#include "service.h"
#include "reception_client.h"
#include "sockets.h"
#include "store/notifications.h"
#include "store/schema.h"
#include "store/staff.h"
#include "store/clock.h"

namespace {

constexpr int exchangeTimeoutMs = 10000;

RawReply parseReply(const std::string& bytes, bool closed) {
  RawReply reply;
  std::size_t end = bytes.find("\r\n\r\n");
  if (end == std::string::npos) return reply;
  reply.complete = closed;
  reply.headers = bytes.substr(0, end + 4);
  reply.body = bytes.substr(end + 4);
  std::size_t space = bytes.find(' ');
  if (space != std::string::npos) reply.status = std::atoi(bytes.c_str() + space + 1);
  return reply;
}

std::string readLog(const std::filesystem::path& path) {
  std::string bytes;
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return bytes;
  char chunk[4096];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.append(chunk, got);
  std::fclose(file);
  return bytes;
}

// Starts the executable in directory with its output going to logPath.
// On PostgreSQL, each test folder's processes share a database of their own
// (as they would share the folder's file), dropped when the test ends.
struct FolderDatabases {
  ~FolderDatabases() {
    for (auto& [folder, database] : byFolder) database.drop();
  }
  std::string uriFor(const std::filesystem::path& folder) {
    TestPostgresDatabase& database = byFolder[folder.string()];
    std::string error;
    return database.uri().empty() ? database.create(error) : database.uri();
  }
  std::map<std::string, TestPostgresDatabase> byFolder;
};

pid_t spawn(const std::vector<std::string>& arguments, const std::filesystem::path& directory,
            const std::filesystem::path& logPath, const std::filesystem::path& inputPath = "/dev/null") {
  std::string program = RECEPTION_EXECUTABLE;
  std::vector<std::string> copies = arguments;
  static FolderDatabases folderDatabases;
  bool ownDatabase = std::find(arguments.begin(), arguments.end(), "--database") != arguments.end();
  if (testsOnPostgres() && !ownDatabase) copies.insert(copies.end(), {"--database", folderDatabases.uriFor(directory)});
  std::vector<char*> argv{program.data()};
  for (std::string& argument : copies) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    int input = ::open(inputPath.c_str(), O_RDONLY);
    if (log < 0 || input < 0 || ::chdir(directory.c_str()) != 0) ::_exit(126);
    ::dup2(input, 0);
    ::dup2(log, 1);
    ::dup2(log, 2);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  return pid;
}

}  // namespace

// Binds the socket to a loopback source address, so a test can be several clients.
static bool bindSource(SocketHandle socket, const std::string& source) {
  if (source.empty()) return true;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  return ::inet_pton(AF_INET, source.c_str(), &local.sin_addr) == 1 &&
         ::bind(static_cast<int>(socket), reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
}

RawReply exchange(const std::string& host, std::uint16_t port, const std::string& request, const std::string& source) {
  std::uint32_t address = 0;
  if (!parseDottedAddress(host.c_str(), address)) return {};
  SocketHandle socket = openTcpSocket();
  if (socket == 0) return {};
  if (!bindSource(socket, source) || !connectWithin(socket, address, port, exchangeTimeoutMs) ||
      !sendAllWithin(socket, request.data(), request.size(), exchangeTimeoutMs)) {
    closeSocket(socket);
    return {};
  }
  std::string bytes;
  char chunk[4096];
  bool closed = false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(exchangeTimeoutMs);
  while (!closed && std::chrono::steady_clock::now() < deadline) {
    int got = receiveWithin(socket, chunk, sizeof chunk, 200);
    if (got == receiveTimedOut) continue;
    if (got <= 0) {
      closed = got == receiveClosed;
      break;
    }
    bytes.append(chunk, static_cast<std::size_t>(got));
  }
  closeSocket(socket);
  return parseReply(bytes, closed);
}

RawReply getAs10(const std::string& host, std::uint16_t port, const std::string& target) {
  return exchange(host, port, "GET " + target + " HTTP/1.0\r\nHost: " + host + "\r\n\r\n");
}

RawReply send11(const std::string& host, std::uint16_t port, const std::string& method, const std::string& target,
                const std::string& body, const std::string& contentType, const std::string& extraHeaders,
                const std::string& source) {
  std::string request = method + " " + target + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n";
  if (!contentType.empty()) request += "Content-Type: " + contentType + "\r\n";
  request += extraHeaders;
  request += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  return exchange(host, port, request, source);
}

std::string header(const RawReply& reply, const std::string& name) {
  std::size_t at = reply.headers.find("\r\n" + name + ": ");
  if (at == std::string::npos) return "";
  at += name.size() + 4;
  return reply.headers.substr(at, reply.headers.find("\r\n", at) - at);
}

std::string deskLogin(const std::string& host, std::uint16_t port, const std::string& name, const std::string& password) {
  RawReply reply = send11(host, port, "POST", "/api/desk/login",
                          nlohmann::json{{"name", name}, {"password", password}}.dump());
  std::string cookie = header(reply, "Set-Cookie");
  if (reply.status != 200 || cookie.empty()) return "";
  return "Cookie: " + cookie.substr(0, cookie.find(';')) + "\r\n";
}

std::string demoPassword(const std::string& output) {
  const std::string marker = "desk login: reception / ";
  std::size_t at = output.find(marker);
  if (at == std::string::npos) return "";
  at += marker.size();
  return output.substr(at, output.find('\n', at) - at);
}

void useCheapPasswordHashing() {
  passwordCost = PasswordCost{crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN};
}

TemporaryDirectory::TemporaryDirectory() {
  std::random_device random;
  // cppcheck-suppress useInitializationList
  path = std::filesystem::temp_directory_path() /
         ("vestibra-reception-" + std::to_string(random()) + "-" + std::to_string(random()));
  std::filesystem::create_directories(path);
}

TemporaryDirectory::~TemporaryDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

void InProcessServiceTest::SetUp() {
  settings_.notifier.accessKey = accessKey;
  // Tests drive the desk far faster than people do; the limit's own test lowers it again.
  settings_.deskWritesPerSecond = 1000;
  settings_.hostWritesPerSecond = 1000;
  ASSERT_TRUE(initAccounts());
  useCheapPasswordHashing();
  forgetLoginFailures();
  forgetKnownDeskAddresses();
  database_ = (directory_.path / "reception.db").string();
  if (testsOnPostgres()) {
    std::string error;
    database_ = postgres_.create(error);
    if (database_.empty()) GTEST_SKIP() << "no PostgreSQL server for the test: " << error;
  }
  ASSERT_EQ(openStorage(database_), "");
}

void InProcessServiceTest::addDeskAccount(const std::string& name, const std::string& role,
                                          const std::string& password) {
  DeskAccount added;
  ASSERT_EQ(addAccount(name, role, password, added), Outcome::ok);
}

RawReply InProcessServiceTest::get(const std::string& target) {
  if (target.rfind("/api/desk/", 0) != 0) return getAs10(host_, port_, target);
  return send("GET", target, "", "");
}

RawReply InProcessServiceTest::send(const std::string& method, const std::string& target, const std::string& body,
                                    const std::string& contentType) {
  bool desk = target.rfind("/api/desk/", 0) == 0;
  if (desk && adminCookie_.empty()) {
    DeskAccount existing;
    if (findAccount("test-admin", existing) != Outcome::ok) addDeskAccount("test-admin", "admin", "test-admin-password");
    adminCookie_ = deskLogin(host_, port_, "test-admin", "test-admin-password");
    EXPECT_FALSE(adminCookie_.empty());
  }
  return send11(host_, port_, method, target, body, contentType, desk ? adminCookie_ : "");
}

void InProcessServiceTest::startService(const std::string& address, std::uint16_t port) {
  ASSERT_TRUE(tryStartService(address, port)) << "cannot serve on " << address << ":" << port;
}

bool InProcessServiceTest::tryStartService(const std::string& address, std::uint16_t port) {
  std::string error;
  int listener = openListener(address, port, error);
  settings_.origin = DeskOrigin{serviceHostNames(address, {}), {listeningPort(listener)}, 0, nullptr};
  configureService(settings_);
  if (listener < 0 || !startHttpServer(listener, receptionServerSetup(), error)) return false;
  host_ = address;
  port_ = listeningPort(listener);
  serving_ = true;
  return true;
}

std::atomic<std::int64_t> fakeNow{1767346205000LL};

namespace {
std::int64_t fakeTimeMs() { return fakeNow.load(); }
}  // namespace

void FakeClockServiceTest::SetUp() {
  setenv("TZ", "UTC0", 1);
  tzset();
  fakeNow = 1767346205000LL;
  realTime_ = currentTimeMs;
  currentTimeMs = fakeTimeMs;
  InProcessServiceTest::SetUp();
  if (IsSkipped() || HasFatalFailure()) return;
  startService();
}

void FakeClockServiceTest::TearDown() {
  InProcessServiceTest::TearDown();
  currentTimeMs = realTime_;
}

void InProcessServiceTest::TearDown() {
  if (serving_) stopHttpServer();
  closeStorage();
  postgres_.drop();
}

nlohmann::json InProcessServiceTest::state() {
  RawReply reply = get("/api/desk/state");
  EXPECT_EQ(reply.status, 200);
  return nlohmann::json::parse(reply.body, nullptr, false);
}

std::int64_t InProcessServiceTest::addStaffMember(const std::string& firstName, const std::string& lastName) {
  RawReply reply = post("/api/desk/staff", nlohmann::json{{"firstName", firstName}, {"lastName", lastName}}.dump());
  EXPECT_EQ(reply.status, 201) << reply.body;
  auto added = nlohmann::json::parse(reply.body, nullptr, false);
  return added.is_object() ? added.value("id", std::int64_t{0}) : 0;
}

std::string InProcessServiceTest::storedValue(const std::string& sql) {
  std::string value = "(none)";
  if (testsOnPostgres()) {
    std::string error = postgres_.execute(sql, &value);
    return error.empty() ? value : "(error) " + error;
  }
  sqlite3* file = nullptr;
  if (sqlite3_open_v2(database_.c_str(), &file, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_exec(file, sql.c_str(), [](void* out, int, char** values, char**) {
      *static_cast<std::string*>(out) = values[0] != nullptr ? values[0] : "NULL";
      return 0;
    }, &value, nullptr);
  }
  sqlite3_close(file);
  return value;
}

std::int64_t InProcessServiceTest::announce(std::int64_t staffId, const std::string& guestName,
                                            const std::string& note) {
  RawReply reply = post("/api/desk/notifications",
                        nlohmann::json{{"staffId", staffId}, {"guestName", guestName}, {"note", note}}.dump());
  EXPECT_EQ(reply.status, 201) << reply.body;
  auto added = nlohmann::json::parse(reply.body, nullptr, false);
  return added.is_object() ? added.value("id", std::int64_t{0}) : 0;
}

ServiceProcess::~ServiceProcess() {
  if (pid > 0) stop(SIGKILL);
  if (::testing::Test::HasFailure() && !logPath.empty()) {
    std::printf("--- output of the service ---\n%s\n", readLog(logPath).c_str());
  }
}

bool ServiceProcess::start(const std::vector<std::string>& arguments, const std::filesystem::path& directory) {
  static int starts = 0;
  logPath = directory / ("service-" + std::to_string(++starts) + ".log");
  std::filesystem::remove(logPath);
  pid = spawn(arguments, directory, logPath);
  if (pid < 0) return false;
  const std::string marker = "listening on http://";
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    output = readLog(logPath);
    std::size_t at = output.find(marker);
    std::size_t slash = at == std::string::npos ? at : output.find("/ ", at + marker.size());
    if (slash != std::string::npos) {
      std::string where = output.substr(at + marker.size(), slash - at - marker.size());
      host = where.substr(0, where.rfind(':'));
      port = static_cast<std::uint16_t>(std::stoi(where.substr(where.rfind(':') + 1)));
      std::string password = demoPassword(output);
      if (!password.empty()) deskCookie = deskLogin(host, port, "reception", password);
      return true;
    }
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      pid = -1;
      output = readLog(logPath);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

int ServiceProcess::stop(int signal) {
  if (pid <= 0) return -1;
  ::kill(pid, signal);
  int status = 0;
  // Bounded: escalate to SIGKILL after 20 s.
  for (int waited = 0; waited < 2000; ++waited) {
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      pid = -1;
      return status;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  pid = -1;
  return status;
}

int runService(const std::vector<std::string>& arguments, const std::filesystem::path& directory,
               std::string& output, const std::string& input) {
  std::filesystem::path logPath = directory / "run.log";
  std::filesystem::path inputPath = directory / "run.input";
  std::filesystem::remove(logPath);
  std::FILE* file = std::fopen(inputPath.c_str(), "wb");
  if (file == nullptr) return -1;
  std::fwrite(input.data(), 1, input.size(), file);
  std::fclose(file);
  pid_t pid = spawn(arguments, directory, logPath, inputPath);
  if (pid < 0) return -1;
  int status = -1;
  // Bounded: 20 s, then the child is killed.
  for (int waited = 0; waited < 2000; ++waited) {
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      output = readLog(logPath);
      return status;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  output = readLog(logPath);
  return -1;
}
