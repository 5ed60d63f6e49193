#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "loopback_server.h"
#include "reception_client.h"
#include "service_location.h"
#include "test_support.h"

namespace {

using Text = std::optional<std::string>;

const std::string longestHost = std::string(249, 'a') + ".com";  // 253
const std::string longestKey(128, 'k');

struct LocationCase {
  const char* what;
  ConfiguredLocation policy;
  ConfiguredLocation user;
  ServiceLocation expected;
};

}  // namespace

// Each value is chosen on its own: valid policy, else valid user, else built in;
// a value that breaks the rules is passed over as if it were not there.
TEST(ServiceLocation, PolicyOverUserOverCompiledInInvalidValuesIgnored) {
  const ServiceLocation built{"localhost", "m9pqzRWkfhT7031"};
  const LocationCase cases[] = {
      {"nothing configured", {}, {}, built},
      {"user only", {}, {Text("reception.example.com"), Text("k-1._~Z")}, {"reception.example.com", "k-1._~Z"}},
      {"policy wins", {Text("10.0.0.5"), Text("policy")}, {Text("user.example"), Text("user")}, {"10.0.0.5", "policy"}},
      {"per value", {Text("policy.example"), {}}, {Text("user.example"), Text("userkey")}, {"policy.example", "userkey"}},
      {"empty policy falls to user", {Text(""), Text("")}, {Text("user.example"), Text("u")}, {"user.example", "u"}},
      {"longest allowed", {Text(longestHost), Text(longestKey)}, {}, {longestHost, longestKey}},
      {"one too long", {Text(longestHost + "m"), Text(longestKey + "k")}, {}, built},
      {"host with port or path", {Text("host:8080"), {}}, {Text("a/b"), {}}, built},
      {"host with space or underscore", {Text("a b"), {}}, {Text("a_b"), {}}, built},
      {"key needing encoding", {{}, Text("a&b=c")}, {{}, Text("a b")}, built},
      {"key with percent or plus", {{}, Text("%41")}, {{}, Text("a+b")}, built},
      {"non-ASCII and control bytes", {Text("r\xC3\xA9sa.example"), Text("k\r\n")}, {Text(std::string("a\0b", 3)), {}}, built},
      {"bad policy, good user", {Text("bad host"), Text("bad key!")}, {Text("user.example"), Text("u")},
       {"user.example", "u"}},
  };
  for (const LocationCase& c : cases) {
    SCOPED_TRACE(c.what);
    ServiceLocation chosen = chooseServiceLocation(c.policy, c.user, built);
    EXPECT_EQ(chosen.host, c.expected.host);
    EXPECT_EQ(chosen.key, c.expected.key);
  }
}

class ServiceLocationRequestTest : public WorkingDirectoryTest {
 protected:
  void TearDown() override {
    serviceAccessKey = accessKey;
    WorkingDirectoryTest::TearDown();
  }
};

// The compiled-in location leaves the URL as built; a chosen one sends its
// host on the Host line and its key in the query.
TEST_F(ServiceLocationRequestTest, ChosenLocationIsWhatTheRequestCarries) {
  const std::string builtUrl = serviceBaseUrl;
  useServiceLocation(compiledServiceLocation());
  EXPECT_EQ(serviceBaseUrl, builtUrl);
  EXPECT_EQ(serviceAccessKey, accessKey);

  LoopbackServer server({{httpResponse("Ann Lee")}});
  useServiceLocation({server.host(), "office-Key_1.~"});
  UserList users;
  testing::internal::CaptureStdout();
  EXPECT_EQ(fetchUsers(users), 0);
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0], "GET /api/reception/listUsers?key=office-Key_1.~ HTTP/1.0\r\nHost: " +
                                      server.host() + "\r\n\r\n");
}
