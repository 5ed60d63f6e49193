// The notifier's three service requests against servers that misbehave:
// each request ends within the client's time bound, stays within its memory
// cap, and leaves the lists valid.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "http_client.h"
#include "loopback_server.h"
#include "reception_client.h"
#include "test_support.h"

// Heap bytes in use and their peak, counted through AddressSanitizer's
// allocation hooks, which see malloc, realloc and new alike. Declared weak so
// that a build without the sanitizer still links; it then measures no memory.
extern "C" {
int __sanitizer_install_malloc_and_free_hooks(void (*onAllocate)(const volatile void*, std::size_t),
                                              void (*onFree)(const volatile void*)) __attribute__((weak));
std::size_t __sanitizer_get_allocated_size(const volatile void* block) __attribute__((weak));
}

namespace {
std::atomic<std::size_t> heapInUse{0};
std::atomic<std::size_t> heapPeak{0};

void countAllocation(const volatile void*, std::size_t size) {
  std::size_t now = heapInUse += size;
  std::size_t peak = heapPeak.load();
  while (now > peak && !heapPeak.compare_exchange_weak(peak, now)) {
  }
}

void countRelease(const volatile void* block) { heapInUse -= __sanitizer_get_allocated_size(block); }

bool heapCounted() {
  static const bool installed = __sanitizer_install_malloc_and_free_hooks != nullptr &&
                                __sanitizer_get_allocated_size != nullptr &&
                                __sanitizer_install_malloc_and_free_hooks(countAllocation, countRelease) != 0;
  return installed;
}
}  // namespace

namespace {

constexpr int boundMs = 2000;
// Scheduling and sanitizer overhead on a loaded machine, on top of the bound.
constexpr double slackSeconds = 2.0;
// The response buffer may double past the cap once before the cap is seen,
// and while it grows the old block and the new one are both held.
constexpr std::size_t heapAllowance = 3 * maxResponseBytes + (1u << 20);

const std::string header = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n";

struct Misbehaviour {
  const char* name;
  ScriptedResponse response;
};

std::vector<Misbehaviour> misbehaviours() {
  return {
      {"accepts and closes", {""}},
      {"accepts, says nothing, keeps the connection", {"", 0, 0, false, true}},
      {"sends binary noise and closes", {std::string("\x00\xff\r\n\x01\n\r", 7) + std::string(3000, '\x80')}},
      {"sends half a header and keeps the connection", {"HTTP/1.0 200 OK\r\nContent-Le", 0, 0, false, true}},
      {"sends the header only and closes", {header}},
      {"sends the header only and keeps the connection", {header, 0, 0, false, true}},
      {"sends one byte per second", {header + "9|Slow|Guest|1|2|3", 1, 1000}},
      {"sends an endless body at full speed", {header, 0, 0, false, false, 64 * 1024}},
      {"sends an endless body slowly", {header, 0, 50, false, false, 1024}},
      {"resets after the header", {header, 0, 0, true}},
      {"resets after half a record", {header + "9|Half|Gu", 0, 0, true}},
      {"resets in the middle of the header", {"HTTP/1.0 200 OK\r\nCont", 0, 0, true}},
  };
}

struct Outcome {
  double seconds = 0;
  std::size_t heapGrowth = 0;
};

template <typename Request>
Outcome measured(Request request) {
  std::size_t before = heapInUse.load();
  heapPeak = before;
  auto start = std::chrono::steady_clock::now();
  testing::internal::CaptureStdout();
  request();
  testing::internal::GetCapturedStdout();
  Outcome outcome;
  outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  outcome.heapGrowth = heapPeak.load() - before;
  return outcome;
}

void expectBounded(const Outcome& outcome, const std::string& what) {
  EXPECT_LE(outcome.seconds, boundMs / 1000.0 + slackSeconds) << what;
  if (heapCounted()) {
    EXPECT_LE(outcome.heapGrowth, heapAllowance) << what;
  }
  std::printf("%-65s %6.2f s %8zu KiB\n", what.c_str(), outcome.seconds, outcome.heapGrowth / 1024);
}

// The body bytes the server sends before it misbehaves, if any.
std::string bodyOf(const ScriptedResponse& response) {
  return response.bytes.compare(0, header.size(), header) == 0 ? response.bytes.substr(header.size()) : "";
}

bool idsUnique(const NotificationList& list) {
  std::set<std::string> ids;
  for (const Notification& n : list) {
    if (!ids.insert(n.id).second) return false;
  }
  return true;
}

class MisbehavingServerTest : public WorkingDirectoryTest {
 protected:
  void SetUp() override {
    WorkingDirectoryTest::SetUp();
    previousBound_ = requestTimeoutMs;
    requestTimeoutMs = boundMs;
  }
  void TearDown() override {
    requestTimeoutMs = previousBound_;
    WorkingDirectoryTest::TearDown();
  }

 private:
  int previousBound_ = 0;
};

}  // namespace

TEST_F(MisbehavingServerTest, EveryRequestEndsInTimeWithinTheCapAndLeavesTheListsValid) {
  if (!heapCounted()) std::printf("Built without AddressSanitizer: heap use is not measured.\n");
  for (const Misbehaviour& misbehaviour : misbehaviours()) {
    LoopbackServer server({misbehaviour.response});
    ASSERT_TRUE(server.listening());
    serviceBaseUrl = server.baseUrl();
    std::string name = misbehaviour.name;

    UserList users{"Ann Lee", "Bob Ray"};
    expectBounded(measured([&] { fetchUsers(users); }), name + ": listUsers");
    ASSERT_GE(users.size(), 2u) << name;
    EXPECT_EQ(users[0], "Ann Lee") << name;
    EXPECT_EQ(users[1], "Bob Ray") << name;

    NotificationList list{Notification{"1", "Held", "Lobby", 9, 0, 0}};
    expectBounded(measured([&] { fetchNotifications("Ann Lee", list); }), name + ": getNotification");
    ASSERT_GE(list.size(), 1u) << name;
    EXPECT_EQ(list[0].id, "1") << name;
    EXPECT_EQ(list[0].headline, "Held") << name;
    EXPECT_TRUE(idsUnique(list)) << name;
    // Only what arrived before the trouble can have been added.
    for (std::size_t i = 1; i < list.size(); ++i) EXPECT_EQ(list[i].id, "9") << name;

    std::int32_t answer = -1;
    expectBounded(measured([&] { answer = archiveNotification("1"); }), name + ": archiveNotification");
    // A reset ends the body like a close, so a body cut short counts as sent.
    std::string sentBody = bodyOf(misbehaviour.response);
    EXPECT_TRUE(answer == 0 || answer == decimalPrefix(sentBody.c_str())) << name;
    if (std::filesystem::exists("downloaded.file")) {
      std::string dumped = readFileBytes("downloaded.file");
      EXPECT_TRUE(!dumped.empty() && sentBody.compare(0, dumped.size(), dumped) == 0) << name;
      std::filesystem::remove("downloaded.file");
    }
  }
}

TEST_F(MisbehavingServerTest, ARealAnswerAfterTheTroubleIsReadAsUsual) {
  LoopbackServer server({{header, 0, 0, true}, {header + "Ann Lee,Bob Ray"}});
  serviceBaseUrl = server.baseUrl();
  UserList users;
  testing::internal::CaptureStdout();
  fetchUsers(users);
  fetchUsers(users);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(users, (UserList{"Ann Lee", "Bob Ray"}));
  EXPECT_EQ(readFileBytes("downloaded.file"), "Ann Lee,Bob Ray");
}
