#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "host_lookup.h"
#include "http_client.h"
#include "loopback_server.h"
#include "sockets.h"

namespace {

struct Fetched {
  std::string body;  // all bodyLength bytes, NULs included
  std::string headers;
  std::int32_t bodyLength = -1;
  bool bodyTerminated = false;
  double seconds = 0;
};

Fetched fetch(const std::string& url) {
  wsaStartup(0x0101);
  auto start = std::chrono::steady_clock::now();
  std::int32_t length = -1;
  std::unique_ptr<char[]> headers;
  std::unique_ptr<char[]> body = readUrl(url.c_str(), length, headers);
  Fetched result;
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.bodyLength = length;
  result.body.assign(body.get(), static_cast<std::size_t>(length));
  result.bodyTerminated = body[length] == '\0';
  result.headers = headers.get();
  wsaCleanup();
  return result;
}

Fetched fetchFrom(LoopbackServer& server, const std::string& path = "/api/x?a=1") {
  EXPECT_TRUE(server.listening());
  return fetch("http://" + server.host() + path);
}

void expectFailure(const Fetched& result) {
  EXPECT_EQ(result.bodyLength, 0);
  EXPECT_EQ(result.body, "");
  EXPECT_TRUE(result.bodyTerminated);
  EXPECT_EQ(result.headers, "");
}

}  // namespace

TEST(SplitUrl, SchemesHostsAndPaths) {
  struct Case {
    const char* url;
    const char* host;
    const char* path;
  } cases[] = {
      {"http://svc/api/x?a=1", "svc", "/api/x?a=1"},
      {"svc/a", "svc", "/a"},
      {"svc", "svc", "/"},
      {"https://svc/a", "svc", "/a"},
      {"HTTP://svc/a", "HTTP:", "//svc/a"},
      {"http://https://svc/a", "svc", "/a"},
      {"https://http://svc/a", "http:", "//svc/a"},
      {"http://svc:8080/a#frag", "svc:8080", "/a#frag"},
      {"http:/", "http:", "/"},
      {"", "", "/"},
  };
  for (const Case& c : cases) {
    std::string host = "old", path = "old";
    splitUrl(c.url, host, path);
    EXPECT_EQ(host, c.host) << c.url;
    EXPECT_EQ(path, c.path) << c.url;
  }
}

TEST(FindBodyOffset, FirstTerminatorOfEitherForm) {
  EXPECT_EQ(findBodyOffset("HTTP/1.0 200 OK\r\nA: b\r\n\r\nabc"), 25);
  EXPECT_EQ(findBodyOffset("H\n\r\n\rbody"), 5);
  // The CR LF form wins even where the LF CR form stands earlier.
  EXPECT_EQ(findBodyOffset("H\n\r\n\rX\r\n\r\nY"), 10);
  EXPECT_EQ(findBodyOffset("\r\n\r\n"), 4);
  EXPECT_EQ(findBodyOffset("HTTP/1.0 200 OK\r\n"), -1);
  EXPECT_EQ(findBodyOffset(""), -1);
  const char withNul[] = "H\0\r\n\r\n";
  EXPECT_EQ(findBodyOffset(withNul), -1);
}

TEST(BuildRequest, ExactFormAndNoWayToAddALine) {
  EXPECT_EQ(buildRequest("svc", "/api/x?a=1"), "GET /api/x?a=1 HTTP/1.0\r\nHost: svc\r\n\r\n");
  std::string hostile = buildRequest("svc\r\nX: 1", "/a b\r\nInjected: yes\r\n\r\nGET /x\x80");
  EXPECT_EQ(hostile, "GET /a%20b%0D%0AInjected:%20yes%0D%0A%0D%0AGET%20/x%80 HTTP/1.0\r\nHost: svc%0D%0AX:%201\r\n\r\n");
}

TEST(ReadUrl, SendsOneExactRequestAndCutsTheResponse) {
  LoopbackServer server({{httpResponse("abc")}});
  Fetched result = fetchFrom(server);
  EXPECT_EQ(result.body, "abc");
  EXPECT_EQ(result.bodyLength, 3);
  EXPECT_TRUE(result.bodyTerminated);
  EXPECT_EQ(result.headers, "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n");
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0], "GET /api/x?a=1 HTTP/1.0\r\nHost: " + server.host() + "\r\n\r\n");
}

TEST(ReadUrl, ResultDoesNotDependOnHowTheServerSplitsItsBytes) {
  std::string response = httpResponse("first,second|third,\r\n\r\nstill body");
  for (std::size_t chunk : {1u, 3u, 7u, 512u, 513u}) {
    LoopbackServer server({{response, chunk, 0}});
    Fetched result = fetchFrom(server);
    EXPECT_EQ(result.body, "first,second|third,\r\n\r\nstill body") << "chunk " << chunk;
    EXPECT_EQ(result.headers, "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n") << "chunk " << chunk;
  }
}

TEST(ReadUrl, OtherTerminatorsStatusesAndEmptyBodies) {
  {
    LoopbackServer server({{"HTTP/1.0 200 OK\n\r\n\rabc"}});
    Fetched result = fetchFrom(server);
    EXPECT_EQ(result.headers, "HTTP/1.0 200 OK\n\r\n\r");
    EXPECT_EQ(result.body, "abc");
  }
  {
    LoopbackServer server({{"HTTP/1.0 200 OK\n\r\n\rX: y\r\n\r\nabc"}});
    EXPECT_EQ(fetchFrom(server).body, "abc");
  }
  for (const char* status : {"404 Not Found", "500 Internal Server Error"}) {
    LoopbackServer server({{httpResponse("error page", status)}});
    EXPECT_EQ(fetchFrom(server).body, "error page") << status;
  }
  {
    LoopbackServer server({{httpResponse("")}});
    Fetched result = fetchFrom(server);
    EXPECT_EQ(result.bodyLength, 0);
    EXPECT_TRUE(result.bodyTerminated);
    EXPECT_EQ(result.headers, "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n");
  }
}

TEST(ReadUrl, NulBytesInTheBodyAreKeptAndCounted) {
  std::string body("a\0b\0\0c", 6);
  LoopbackServer server({{httpResponse(body)}});
  Fetched result = fetchFrom(server);
  EXPECT_EQ(result.bodyLength, 6);
  EXPECT_EQ(result.body, body);
  EXPECT_TRUE(result.bodyTerminated);
}

TEST(ReadUrl, FailuresGiveAnEmptyBodyAndHeader) {
  {
    LoopbackServer server({{"HTTP/1.0 200 OK\r\nno blank line"}});
    expectFailure(fetchFrom(server));
  }
  {
    LoopbackServer server({{""}});  // accepts, reads the request, closes
    expectFailure(fetchFrom(server));
  }
  // Nobody listens on this loopback address: connection refused.
  expectFailure(fetch("http://127.254.254.254/api/x"));
  // A name that does not resolve.
  expectFailure(fetch("http://no-such-host.invalid/api/x"));
}

namespace {

// Stand-in resolvers: one that answers with a test server's address, one that
// does not answer until released (and then fails), bounded in time so a
// lookup left behind always ends.
std::uint32_t answeredAddress = 0;
std::atomic<int> lookups{0};
std::atomic<bool> silentResolverReleased{false};

bool answeringResolver(const char*, std::uint32_t& address) {
  ++lookups;
  address = answeredAddress;
  return true;
}

bool silentResolver(const char*, std::uint32_t&) {
  ++lookups;
  for (int waited = 0; waited < 600 && !silentResolverReleased; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

}  // namespace

TEST(ReadUrl, NameLookupSharesTheTimeBoundAndASilentResolverLeavesTheLastGoodAddress) {
  LoopbackServer server({{httpResponse("reached")}});
  ASSERT_TRUE(parseDottedAddress(server.host().c_str(), answeredAddress));
  blockingHostLookup = answeringResolver;
  EXPECT_EQ(fetch("http://reception.lookup-test/a").body, "reached");

  blockingHostLookup = silentResolver;
  lookups = 0;
  Fetched known = fetch("http://reception.lookup-test/a");
  EXPECT_EQ(known.body, "reached") << "the last good address is used";
  EXPECT_LE(known.seconds, requestTimeoutMs / 1000.0 + 2.0);
  // A name that never resolved fails at the bound; the next request joins
  // the lookup still running instead of starting another.
  for (int attempt = 0; attempt < 2; ++attempt) {
    Fetched unknown = fetch("http://never.lookup-test/a");
    expectFailure(unknown);
    EXPECT_GE(unknown.seconds, requestTimeoutMs / 1000.0 - 0.5);
    EXPECT_LE(unknown.seconds, requestTimeoutMs / 1000.0 + 2.0);
  }
  EXPECT_EQ(lookups, 2);
  silentResolverReleased = true;
  blockingHostLookup = resolveHostName;
}

TEST(ReadUrl, DottedAddressIsConnectedWithoutAnyLookup) {
  // 127.x.y.z addresses of the test servers have no reverse name; they must
  // still be reachable.
  LoopbackServer server({{httpResponse("reached")}});
  EXPECT_EQ(fetchFrom(server).body, "reached");
}

TEST(ReadUrl, LongRequestIsSentWhole) {
  std::string path = "/api/reception/getNotification?fn=" + std::string(10 * 1024, 'n') + "&ln=" + std::string(10 * 1024, 'm');
  LoopbackServer server({{httpResponse("ok")}});
  Fetched result = fetchFrom(server, path);
  EXPECT_EQ(result.body, "ok");
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0], "GET " + path + " HTTP/1.0\r\nHost: " + server.host() + "\r\n\r\n");
}

TEST(ReadUrl, SilentServerCostsAtMostTheTimeBound) {
  LoopbackServer server({{"", 0, 0, false, true}});
  Fetched result = fetchFrom(server);
  expectFailure(result);
  EXPECT_GE(result.seconds, requestTimeoutMs / 1000.0 - 0.5);
  EXPECT_LE(result.seconds, requestTimeoutMs / 1000.0 + 3.0);
}

TEST(ReadUrl, TricklingServerCostsAtMostTheTimeBound) {
  ScriptedResponse trickle{"HTTP/1.0 200 OK\r\n\r\n", 0, 700, false, false, 1};
  LoopbackServer server({trickle});
  Fetched result = fetchFrom(server);
  expectFailure(result);
  EXPECT_LE(result.seconds, requestTimeoutMs / 1000.0 + 3.0);
}

TEST(ReadUrl, ResponseOverTheCapIsAFailure) {
  ScriptedResponse endless{"HTTP/1.0 200 OK\r\n\r\n", 0, 0, false, false, 64 * 1024};
  LoopbackServer server({endless});
  expectFailure(fetchFrom(server));
  // Just under the cap is still a response. This checks the cap, not the
  // time bound, so a slow machine gets all the time it needs.
  int timeBound = requestTimeoutMs;
  requestTimeoutMs = 120000;
  std::string body(maxResponseBytes - 100, 'b');
  LoopbackServer under({{"HTTP/1.0 200 OK\r\n\r\n" + body}});
  Fetched result = fetchFrom(under);
  EXPECT_EQ(result.bodyLength, static_cast<std::int32_t>(body.size()));
  EXPECT_TRUE(result.body == body);
  requestTimeoutMs = timeBound;
}

TEST(ReadUrl, ResetInMidBodyEndsWithAConsistentResult) {
  std::string body(4000, 'r');
  LoopbackServer server({{httpResponse(body), 1000, 20, true}});
  Fetched result = fetchFrom(server);
  EXPECT_LE(result.seconds, requestTimeoutMs / 1000.0 + 3.0);
  EXPECT_TRUE(result.bodyTerminated);
  EXPECT_EQ(result.body, body.substr(0, result.body.size()));
}
