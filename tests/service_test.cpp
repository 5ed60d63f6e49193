#include <climits>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "loopback_server.h"
#include "reception_client.h"
#include "sockets.h"
#include "test_support.h"

namespace {

Notification make(std::string id, std::string headline, std::string detail, int h, int m, int s) {
  return Notification{std::move(id), std::move(headline), std::move(detail), h, m, s};
}

void expectNotification(const Notification& n, const Notification& expected) {
  EXPECT_EQ(n.id, expected.id);
  EXPECT_EQ(n.headline, expected.headline);
  EXPECT_EQ(n.detail, expected.detail);
  EXPECT_EQ(n.arrivalHour, expected.arrivalHour);
  EXPECT_EQ(n.arrivalMinute, expected.arrivalMinute);
  EXPECT_EQ(n.arrivalSecond, expected.arrivalSecond);
}

class ServiceClientTest : public WorkingDirectoryTest {
 protected:
  // The path of the one request the server saw, without the base path.
  static std::string requestLine(const LoopbackServer& server) {
    EXPECT_EQ(server.requests().size(), 1u);
    if (server.requests().empty()) return "";
    const std::string request = server.requests()[0];
    return request.substr(0, request.find("\r\n"));
  }
};

}  // namespace

TEST(DecodeNotifications, RecordsInBodyOrderWithUniqueIds) {
  NotificationList list;
  decodeNotifications("7|Ann Guest|Lobby|10|05|30,8|Bob|Desk 2|9|0|1", list);
  ASSERT_EQ(list.size(), 2u);
  expectNotification(list[0], make("7", "Ann Guest", "Lobby", 10, 5, 30));
  expectNotification(list[1], make("8", "Bob", "Desk 2", 9, 0, 1));

  // The same body again, and a changed record under a known id, change nothing.
  decodeNotifications("7|Ann Guest|Lobby|10|05|30,8|Other|Other|1|1|1", list);
  ASSERT_EQ(list.size(), 2u);
  expectNotification(list[1], make("8", "Bob", "Desk 2", 9, 0, 1));

  // Two records of one body with the same id: the first wins.
  decodeNotifications("9|first|a|1|2|3,9|second|b|4|5|6,", list);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[2].headline, "first");
}

TEST(DecodeNotifications, MalformedRecordsAreDropped) {
  NotificationList list;
  decodeNotifications(",,1|short|3|4|5,|||||0,2|a|b|1|2|3|extra|more,3|x|y", list);
  ASSERT_EQ(list.size(), 2u);
  expectNotification(list[0], make("", "", "", 0, 0, 0));
  expectNotification(list[1], make("2", "a", "b", 1, 2, 3));
  // A short record never becomes a notification, even when it would be the
  // only one with its id.
  decodeNotifications("4|only|three", list);
  EXPECT_EQ(list.size(), 2u);
}

TEST(DecodeNotifications, ArrivalFieldsReadLikeAtoi) {
  NotificationList list;
  decodeNotifications("a|h|d| 12|7pm|x,b|h|d|-3|+4|\t 5 6", list);
  ASSERT_EQ(list.size(), 2u);
  expectNotification(list[0], make("a", "h", "d", 12, 7, 0));
  expectNotification(list[1], make("b", "h", "d", -3, 4, 5));
  EXPECT_EQ(decimalPrefix("99999999999"), INT_MAX);
  EXPECT_EQ(decimalPrefix("-99999999999"), INT_MIN);
  EXPECT_EQ(decimalPrefix("2147483647"), INT_MAX);
  EXPECT_EQ(decimalPrefix("-2147483648"), INT_MIN);
  EXPECT_EQ(decimalPrefix("- 5"), 0);
}

TEST(DecodeNotifications, TrailingCommaAndNulEndDecodingTheSame) {
  NotificationList withComma, without, withNul;
  decodeNotifications("1|a|b|1|2|3,", withComma);
  decodeNotifications("1|a|b|1|2|3", without);
  const char nul[] = "1|a|b|1|2|3\0,2|c|d|4|5|6";
  decodeNotifications(nul, withNul);
  for (const NotificationList* list : {&withComma, &without, &withNul}) {
    ASSERT_EQ(list->size(), 1u);
    expectNotification((*list)[0], make("1", "a", "b", 1, 2, 3));
  }
}

TEST(DecodeNotifications, LongAnswersKeepIdsUniqueAndInOrder) {
  // Enough records to grow the id index several times, with repeats far
  // apart and ids the list held before.
  NotificationList list;
  for (int id = 0; id < 40; ++id) list.push_back(make(std::to_string(id), "held", "", 0, 0, 0));
  std::string body;
  for (int record = 0; record < 600; ++record) body += std::to_string(record % 300) + "|new|d|1|2|3,";
  decodeNotifications(body.c_str(), list);
  ASSERT_EQ(list.size(), 300u);
  for (std::size_t at = 0; at < list.size(); ++at) {
    EXPECT_EQ(list[at].id, std::to_string(at));
    EXPECT_EQ(list[at].headline, at < 40 ? "held" : "new");
  }
}

TEST(EncodeQueryValue, UnreservedBytesStayEverythingElseIsEncoded) {
  EXPECT_EQ(encodeQueryValue("Ann-Lee_2.x~"), "Ann-Lee_2.x~");
  EXPECT_EQ(encodeQueryValue("a b&c=d#e%f+g?h/i"), "a%20b%26c%3Dd%23e%25f%2Bg%3Fh%2Fi");
  EXPECT_EQ(encodeQueryValue("\r\n\t\x7F"), "%0D%0A%09%7F");
  EXPECT_EQ(encodeQueryValue("Jos\xE9 M\xFCller"), "Jos%E9%20M%FCller");
  EXPECT_EQ(encodeQueryValue(std::string("a\0b", 3)), "a%00b");
}

TEST_F(ServiceClientTest, FetchUsersFrameIsExactOnStandardOutput) {
  LoopbackServer server({{httpResponse("Ann Lee,,Bob Ray")}});
  serviceBaseUrl = server.baseUrl();
  UserList users{"kept"};
  testing::internal::CaptureStdout();
  EXPECT_EQ(fetchUsers(users), 0);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(users, (UserList{"kept", "Ann Lee", "", "Bob Ray"}));
  std::string request = "GET /api/reception/listUsers?key=m9pqzRWkfhT7031 HTTP/1.0\r\nHost: " + server.host() + "\r\n\r\n";
  EXPECT_EQ(out, "Buffer being sent:\n" + request +
                     "returned from readUrl\n"
                     "data returned:\nAnn Lee,,Bob Ray"
                     "Got some data\n");
  EXPECT_EQ(server.requests()[0], request);
  EXPECT_EQ(readFileBytes("downloaded.file"), "Ann Lee,,Bob Ray");
}

TEST_F(ServiceClientTest, FetchNotificationsAsksForTheNamedUser) {
  LoopbackServer server({{httpResponse("5|Guest|Note|1|2|3")}});
  serviceBaseUrl = server.baseUrl();
  NotificationList list;
  testing::internal::CaptureStdout();
  EXPECT_EQ(fetchNotifications("Ann Lee", list), 0);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(requestLine(server), "GET /api/reception/getNotification?key=m9pqzRWkfhT7031&fn=Ann&ln=Lee HTTP/1.0");
  EXPECT_NE(out.find("returned from readUrl\ndata retu rned:\n5|Guest|Note|1|2|3Got some data\n"), std::string::npos) << out;
  ASSERT_EQ(list.size(), 1u);
  expectNotification(list[0], make("5", "Guest", "Note", 1, 2, 3));
}

TEST_F(ServiceClientTest, UserNamesOfAnyShapeGiveOneSafeRequest) {
  struct Case {
    std::string user;
    std::string query;
  } cases[] = {
      {"Ann Lee Smith", "fn=Ann&ln=Lee"},
      {"Ann  Lee", "fn=Ann&ln="},
      {" Ann", "fn=&ln=Ann"},
      {"Ann", "fn=Ann&ln="},
      {"", "fn=&ln="},
      {"A&ln=x B\r\nHost: evil", "fn=A%26ln%3Dx&ln=B%0D%0AHost%3A"},
      {"Jos\xE9 M\xFCller", "fn=Jos%E9&ln=M%FCller"},
  };
  for (const Case& c : cases) {
    LoopbackServer server({{httpResponse("")}});
    serviceBaseUrl = server.baseUrl();
    NotificationList list;
    testing::internal::CaptureStdout();
    fetchNotifications(c.user.c_str(), list);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(requestLine(server), "GET /api/reception/getNotification?key=m9pqzRWkfhT7031&" + c.query + " HTTP/1.0");
    EXPECT_TRUE(list.empty());
  }
}

TEST_F(ServiceClientTest, VeryLongValuesAreSentWhole) {
  std::string first(10 * 1024, 'f'), last(10 * 1024, 'l');
  LoopbackServer server({{httpResponse("")}});
  serviceBaseUrl = server.baseUrl();
  NotificationList list;
  testing::internal::CaptureStdout();
  fetchNotifications((first + " " + last).c_str(), list);
  EXPECT_EQ(archiveNotification(std::string(10 * 1024, '9')), 0);
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(server.requests().size(), 2u);
  EXPECT_EQ(server.requests()[0].substr(0, server.requests()[0].find(" HTTP/1.0")),
            "GET /api/reception/getNotification?key=m9pqzRWkfhT7031&fn=" + first + "&ln=" + last);
  EXPECT_NE(server.requests()[1].find("&id=" + std::string(10 * 1024, '9') + " HTTP/1.0\r\n"), std::string::npos);
}

TEST_F(ServiceClientTest, ArchiveReturnsTheLeadingNumber) {
  LoopbackServer server({{httpResponse("1 archived")}, {httpResponse("")}, {httpResponse("-7x")}});
  serviceBaseUrl = server.baseUrl();
  testing::internal::CaptureStdout();
  EXPECT_EQ(archiveNotification("n 1&x"), 1);
  EXPECT_EQ(archiveNotification("2"), 0);
  EXPECT_EQ(archiveNotification("3"), -7);
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(server.requests().size(), 3u);
  EXPECT_EQ(server.requests()[0].substr(0, server.requests()[0].find("\r\n")),
            "GET /api/reception/archiveNotification?key=m9pqzRWkfhT7031&id=n%201%26x HTTP/1.0");
}

TEST_F(ServiceClientTest, DumpHoldsTheLastNonEmptyBody) {
  std::string binary("x\0y,z", 5);
  LoopbackServer server({{httpResponse(binary)}, {httpResponse("")}});
  serviceBaseUrl = server.baseUrl();
  UserList users;
  testing::internal::CaptureStdout();
  fetchUsers(users);
  EXPECT_EQ(readFileBytes("downloaded.file"), binary);
  fetchUsers(users);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(readFileBytes("downloaded.file"), binary);
  EXPECT_EQ(users, (UserList{"x"}));
  // The empty answer still prints both frame lines, and no "Got some data".
  std::string secondFrame = out.substr(out.rfind("Buffer being sent:"));
  EXPECT_EQ(secondFrame.substr(secondFrame.find("\r\n\r\n") + 4), "returned from readUrl\ndata returned:\n");
  EXPECT_EQ(out.find("Got some data"), out.rfind("Got some data"));
}

TEST_F(ServiceClientTest, UnreachableServiceLeavesListsAndDumpAlone) {
  serviceBaseUrl = "http://127.254.254.253/api/reception/";
  writeFileBytes("downloaded.file", "previous");
  UserList users{"a"};
  NotificationList list{make("1", "h", "d", 1, 2, 3)};
  testing::internal::CaptureStdout();
  EXPECT_EQ(fetchUsers(users), 0);
  EXPECT_EQ(fetchNotifications("Ann Lee", list), 0);
  EXPECT_EQ(archiveNotification("1"), 0);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(users, UserList{"a"});
  EXPECT_EQ(list.size(), 1u);
  EXPECT_EQ(readFileBytes("downloaded.file"), "previous");
  EXPECT_EQ(out.find("Got some data"), std::string::npos);
  EXPECT_NE(out.find("returned from readUrl\ndata retu rned:\n"), std::string::npos);
}

TEST_F(ServiceClientTest, SocketStartupFailureRequestsAndPrintsNothing) {
  LoopbackServer server({{httpResponse("1")}});
  serviceBaseUrl = server.baseUrl();
  startSockets = [](unsigned short) { return -1; };
  UserList users;
  NotificationList list;
  testing::internal::CaptureStdout();
  EXPECT_EQ(fetchUsers(users), -1);
  EXPECT_EQ(fetchNotifications("Ann Lee", list), -1);
  EXPECT_EQ(archiveNotification("1"), -1);
  std::string out = testing::internal::GetCapturedStdout();
  startSockets = wsaStartup;
  EXPECT_EQ(out, "");
  EXPECT_TRUE(server.requests().empty());
  EXPECT_FALSE(std::filesystem::exists("downloaded.file"));
}
