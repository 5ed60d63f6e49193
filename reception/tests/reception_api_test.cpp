// The service's HTTP answers, against the service running in this process.
#include <atomic>
#include <ctime>
#include <functional>
#include <memory>
#include <random>
#include <thread>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "directory/directory_sync.h"
#include "http/server.h"
#include "reception_client.h"
#include "reception_test_support.h"
#include "store/notifications.h"
#include "store/schema.h"
#include "store/staff.h"
#include "store/clock.h"

namespace {

using nlohmann::json;

const std::string keyed = std::string("?key=") + accessKey;

class ReceptionApiTest : public FakeClockServiceTest {
 protected:

  RawReply notifier(const std::string& endpoint, const std::string& query) {
    return get("/api/reception/" + endpoint + keyed + query);
  }
  const json* findById(const json& list, std::int64_t id) {
    for (const json& item : list) {
      if (item.value("id", std::int64_t{0}) == id) return &item;
    }
    return nullptr;
  }

  // One number as the database holds it, read on a connection of the
  // test's own (the service's memory aside); -2 when it cannot be read.
  std::int64_t saved(const std::string& sql) {
    std::string value;
    if (testsOnPostgres()) return postgres_.execute(sql, &value).empty() && !value.empty() ? std::stoll(value) : -2;
    sqlite3* database = nullptr;
    sqlite3_stmt* query = nullptr;
    std::int64_t found = -2;
    if (sqlite3_open_v2(database_.c_str(), &database, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(database, sql.c_str(), -1, &query, nullptr) == SQLITE_OK && sqlite3_step(query) == SQLITE_ROW) {
      found = sqlite3_column_int64(query, 0);
    }
    sqlite3_finalize(query);
    sqlite3_close(database);
    return found;
  }
  // A staff member's last poll time as the database holds it, or -1 for none.
  std::int64_t savedPollTime(std::int64_t staffId) {
    return saved("SELECT coalesce(last_poll_at, -1) FROM staff WHERE id = " + std::to_string(staffId));
  }
};

}  // namespace

TEST_F(ReceptionApiTest, NotifierAnswersByteForByteInTheCodePage) {
  std::int64_t jose = addStaffMember("José", "Müller");
  addStaffMember("Anna", "Schmidt");

  RawReply users = notifier("listUsers", "");
  EXPECT_TRUE(users.complete);  // HTTP/1.0 without keep-alive: the service closes
  EXPECT_EQ(users.status, 200);
  EXPECT_EQ(users.body, "Jos\xE9 M\xFCller,Anna Schmidt");  // by last name
  EXPECT_EQ(header(users, "Content-Type"), "text/plain; charset=WINDOWS-1252");

  std::int64_t first = announce(jose, "Zoë Brontë", "Meeting room 2");
  fakeNow += 65 * 1000;
  std::int64_t second = announce(jose, "Ada Lovelace", "");
  const std::string poll = "&fn=Jos%E9&ln=M%FCller";
  RawReply waiting = notifier("getNotification", poll);
  EXPECT_TRUE(waiting.complete);
  EXPECT_EQ(waiting.body, std::to_string(first) + "|Zo\xEB Bront\xEB|Meeting room 2|9|30|5," + std::to_string(second) +
                              "|Ada Lovelace||9|31|10");

  EXPECT_EQ(notifier("archiveNotification", "&id=" + std::to_string(first)).body, "1");
  EXPECT_EQ(notifier("archiveNotification", "&id=" + std::to_string(first)).body, "0");
  EXPECT_EQ(notifier("archiveNotification", "&id=999").body, "0");
  EXPECT_EQ(notifier("archiveNotification", "&id=1x").body, "0");
  EXPECT_EQ(notifier("archiveNotification", "").body, "0");
  EXPECT_EQ(notifier("getNotification", poll).body, std::to_string(second) + "|Ada Lovelace||9|31|10");
  // Names sent as raw code-page bytes, without percent-encoding, are read the same way.
  EXPECT_EQ(notifier("getNotification", "&fn=Jos\xE9&ln=M\xFCller").body, std::to_string(second) + "|Ada Lovelace||9|31|10");

  // Unknown users, names the code page cannot decode and missing names get an empty answer.
  EXPECT_EQ(notifier("getNotification", "&fn=Jose&ln=M%FCller").body, "");
  EXPECT_EQ(notifier("getNotification", "&fn=Jos%81&ln=M%FCller").body, "");
  RawReply nobody = notifier("getNotification", "");
  EXPECT_EQ(nobody.status, 200);
  EXPECT_EQ(nobody.body, "");

  // A name of more words is found by the two a notifier sends; a comma and a
  // bar travel as look-alikes, so the record keeps its six fields.
  std::int64_t mary = addStaffMember("Mary Ann", "van Beethoven");
  std::int64_t guest = announce(mary, "Lovelace, Ada", "Room 2|3, 10 o'clock");
  EXPECT_EQ(notifier("listUsers", "").body, "Jos\xE9 M\xFCller,Anna Schmidt,Mary Ann van Beethoven");
  std::string record = notifier("getNotification", "&fn=Mary&ln=Ann").body;
  EXPECT_EQ(record, std::to_string(guest) + "|Lovelace\x82 Ada|Room 2\xA6" "3\x82 10 o'clock|9|31|10");
  EXPECT_EQ(std::count(record.begin(), record.end(), '|'), 5);
  EXPECT_EQ(record.find(','), std::string::npos);
  EXPECT_EQ(notifier("getNotification", "&fn=Mary&ln=Ann%20van").body, "");
  json board = state();
  const json* shown = findById(board["notifications"], guest);
  ASSERT_NE(shown, nullptr);
  EXPECT_EQ((*shown)["guestName"], "Lovelace, Ada");
  EXPECT_EQ((*shown)["note"], "Room 2|3, 10 o'clock");
}

TEST_F(ReceptionApiTest, MissingOrWrongKeyIsForbiddenWithAnEmptyBody) {
  std::int64_t anna = addStaffMember("Anna", "Schmidt");
  std::int64_t guest = announce(anna, "Ada", "");
  std::string wrongKey(std::string(accessKey).size(), 'x');
  const std::vector<std::string> queries = {"?fn=Anna&ln=Schmidt&id=" + std::to_string(guest),
                                            "?key=" + wrongKey + "&fn=Anna&ln=Schmidt&id=" + std::to_string(guest),
                                            "?key=&fn=Anna&ln=Schmidt", "?key=" + std::string(accessKey) + "x"};
  for (const char* endpoint : {"listUsers", "getNotification", "archiveNotification"}) {
    for (const std::string& query : queries) {
      RawReply reply = get(std::string("/api/reception/") + endpoint + query);
      EXPECT_EQ(reply.status, 403) << endpoint << query;
      EXPECT_EQ(reply.body, "") << endpoint << query;
    }
  }
  // Nothing was delivered or archived by the refused requests.
  json guests = state()["notifications"];
  ASSERT_EQ(guests.size(), 1u);
  EXPECT_TRUE(guests[0]["deliveredAt"].is_null());
  EXPECT_TRUE(guests[0]["archivedAt"].is_null());

  RawReply unknown = notifier("listStaff", "");
  EXPECT_EQ(unknown.status, 404);
  EXPECT_EQ(unknown.body, "");
  RawReply posted = send11(host_, port_, "POST", "/api/reception/listUsers" + keyed, "", "");
  EXPECT_EQ(posted.status, 405);
  EXPECT_EQ(posted.body, "");
}

TEST_F(ReceptionApiTest, DeskSeesDeliveryAcknowledgementAndOnlineState) {
  std::int64_t jose = addStaffMember("José", "Müller");
  std::int64_t guest = announce(jose, "Ada Lovelace", "Room 2");
  json before = state();
  EXPECT_EQ(before["now"], fakeNow.load());
  EXPECT_EQ(before["staff"][0]["online"], false);
  EXPECT_TRUE(before["staff"][0]["lastPollAt"].is_null());
  const json* waiting = findById(before["notifications"], guest);
  ASSERT_NE(waiting, nullptr);
  EXPECT_EQ((*waiting)["hostName"], "José Müller");
  EXPECT_EQ((*waiting)["guestName"], "Ada Lovelace");
  EXPECT_EQ((*waiting)["note"], "Room 2");
  EXPECT_EQ((*waiting)["arrivedAt"], fakeNow.load());
  EXPECT_TRUE((*waiting)["deliveredAt"].is_null());

  fakeNow += 2000;
  std::int64_t pollTime = fakeNow;
  notifier("getNotification", "&fn=Jos%E9&ln=M%FCller");
  fakeNow += 3000;
  notifier("getNotification", "&fn=Jos%E9&ln=M%FCller");  // a later poll keeps the first delivery time
  json delivered = state();
  EXPECT_EQ(delivered["staff"][0]["online"], true);
  EXPECT_EQ(delivered["staff"][0]["lastPollAt"], pollTime + 3000);
  EXPECT_EQ((*findById(delivered["notifications"], guest))["deliveredAt"], pollTime);

  fakeNow += 31 * 1000;
  EXPECT_EQ(state()["staff"][0]["online"], false);

  notifier("archiveNotification", "&id=" + std::to_string(guest));
  const json acknowledged = *findById(state()["notifications"], guest);
  EXPECT_EQ(acknowledged["archivedAt"], fakeNow.load());
  EXPECT_EQ(acknowledged["archivedBy"], "host");

  // Acknowledged guests leave the desk page after twelve hours; so does a
  // session unused for that long.
  fakeNow += 12LL * 3600 * 1000 + 1;
  EXPECT_EQ(get("/api/desk/state").status, 401);
  adminCookie_.clear();
  EXPECT_TRUE(state()["notifications"].empty());
}

// Poll times are kept in memory between saves: the desk sees each poll at
// once, and closing the storage saves those not saved yet.
TEST_F(ReceptionApiTest, PollMarksTheNotifierOnlineAndItsTimeSurvivesARestart) {
  std::int64_t anna = addStaffMember("Anna", "Schmidt");
  std::int64_t ben = addStaffMember("Ben", "Weber");
  EXPECT_EQ(notifier("getNotification", "&fn=Anna&ln=Schmidt").status, 200);
  fakeNow += 1000;  // the next poll is not saved yet
  std::int64_t secondPoll = fakeNow;
  EXPECT_EQ(notifier("getNotification", "&fn=Anna&ln=Schmidt").status, 200);
  json polled = state();
  EXPECT_EQ((*findById(polled["staff"], anna))["online"], true);
  EXPECT_EQ((*findById(polled["staff"], anna))["lastPollAt"], secondPoll);
  EXPECT_EQ((*findById(polled["staff"], ben))["online"], false);
  EXPECT_EQ(savedPollTime(anna), secondPoll - 1000);

  closeStorage();
  EXPECT_EQ(savedPollTime(anna), secondPoll);
  ASSERT_EQ(openStorage(database_), "");
  json reopened = state();
  EXPECT_EQ((*findById(reopened["staff"], anna))["lastPollAt"], secondPoll);
  EXPECT_TRUE((*findById(reopened["staff"], ben))["lastPollAt"].is_null());

  // A poll after the restart is newer than the saved time and wins over it.
  fakeNow += 40 * 1000;
  EXPECT_EQ((*findById(state()["staff"], anna))["online"], false);
  notifier("getNotification", "&fn=Anna&ln=Schmidt");
  EXPECT_EQ((*findById(state()["staff"], anna))["lastPollAt"], fakeNow.load());
  EXPECT_EQ((*findById(state()["staff"], anna))["online"], true);
  // Later polls are saved together by the first one after five seconds.
  fakeNow += 1000;
  notifier("getNotification", "&fn=Anna&ln=Schmidt");
  EXPECT_EQ(savedPollTime(anna), fakeNow - 1000);
  fakeNow += 5000;
  notifier("getNotification", "&fn=Ben&ln=Weber");
  EXPECT_EQ(savedPollTime(anna), fakeNow - 5000);
  EXPECT_EQ(savedPollTime(ben), fakeNow.load());
}

TEST_F(ReceptionApiTest, DeskRefusesBadInputWithJsonErrors) {
  std::int64_t anna = addStaffMember("Anna", "Schmidt");
  auto expectError = [](const RawReply& reply, int status, const std::string& message) {
    EXPECT_EQ(reply.status, status) << reply.body;
    json body = json::parse(reply.body, nullptr, false);
    EXPECT_EQ(body.value("error", ""), message) << reply.body;
  };
  expectError(post("/api/desk/staff", R"({"firstName": "Anna", "lastName": "Schmidt"})"), 409,
              "Anna Schmidt is already in the staff directory.");
  expectError(post("/api/desk/staff", R"({"name": "Łukasz Nowak"})"), 400,
              "The first name contains \"Ł\", which notifiers using the code page WINDOWS-1252 cannot show.");
  expectError(post("/api/desk/staff", R"({"firstName": "Anna", "lastName": "Schmidt Weber"})"), 409,
              "Anna Schmidt Weber begins with the same two words as Anna Schmidt: notifiers tell staff apart by the "
              "first two words of the name.");
  expectError(post("/api/desk/notifications", R"({"staffId": 999, "guestName": "Ada"})"), 404,
              "That member of staff is no longer in the directory.");
  expectError(send("POST", "/api/desk/staff", R"({"name": "Ann Lee"})", "text/plain"), 415,
              "Send the request as application/json.");
  expectError(post("/api/desk/staff", "{\"name\": \"" + std::string(20000, 'a') + "\"}"), 413,
              "The request is too large.");
  expectError(send("GET", "/api/desk/staff"), 405, "Use POST.");
  expectError(get("/api/desk/nothing"), 404, "No such request.");

  // A member of staff with a guest waiting stays until the guest is handled.
  std::int64_t guest = announce(anna, "Ada", "");
  expectError(send("DELETE", "/api/desk/staff/" + std::to_string(anna)), 409,
              "Guests are still waiting for this member of staff. Acknowledge or withdraw them first.");
  EXPECT_EQ(post("/api/desk/notifications/" + std::to_string(guest) + "/archive", "").status, 200);
  expectError(post("/api/desk/notifications/" + std::to_string(guest) + "/archive", ""), 404,
              "That guest is not waiting any more.");
  EXPECT_EQ(findById(state()["notifications"], guest)->value("archivedBy", ""), "desk");
  EXPECT_EQ(send("DELETE", "/api/desk/staff/" + std::to_string(anna)).status, 200);
  expectError(send("DELETE", "/api/desk/staff/" + std::to_string(anna)), 404,
              "That member of staff is not in the directory.");
  EXPECT_EQ(notifier("listUsers", "").body, "");
  // The name is free again, and the old guest's record keeps its host.
  EXPECT_GT(addStaffMember("Anna", "Schmidt"), anna);
  EXPECT_EQ(findById(state()["notifications"], guest)->value("hostName", ""), "Anna Schmidt");
}

TEST_F(ReceptionApiTest, DeskPageIsServedWithItsAssets) {
  RawReply page = get("/");
  EXPECT_EQ(page.status, 200);
  EXPECT_EQ(header(page, "Content-Type"), "text/html; charset=utf-8");
  EXPECT_NE(header(page, "Content-Security-Policy").find("default-src 'self'"), std::string::npos);
  EXPECT_NE(page.body.find("desk.js"), std::string::npos);
  EXPECT_EQ(get("/desk.js").status, 200);
  EXPECT_EQ(header(get("/desk.css"), "Content-Type"), "text/css; charset=utf-8");
  EXPECT_EQ(get("/secret.db").status, 404);
  EXPECT_EQ(get("/../reception.db").status, 404);
}

// Fifty notifiers polling at once over fresh HTTP/1.0 connections while the
// desk announces guests: every answer is complete and well-formed, and every
// guest is delivered and archived exactly once.
// Whoever changes what notifiers poll, the next poll shows it: the desk, the
// host, a directory sync, and another connection writing the file directly.
TEST_F(ReceptionApiTest, EveryChangeIsSeenByTheNextPoll) {
  std::int64_t anna = addStaffMember("Anna", "Schmidt");
  std::int64_t ben = addStaffMember("Ben", "Weber");
  // The ids of the records a poll shows, joined with ",".
  auto shown = [&](const std::string& firstName, const std::string& lastName) {
    RawReply reply = notifier("getNotification", "&fn=" + firstName + "&ln=" + lastName);
    EXPECT_EQ(reply.status, 200);
    std::string ids;
    for (std::size_t at = 0; at < reply.body.size(); at = reply.body.find(',', at) + 1) {
      ids += (ids.empty() ? "" : ",") + reply.body.substr(at, reply.body.find('|', at) - at);
      if (reply.body.find(',', at) == std::string::npos) break;
    }
    return ids;
  };
  auto names = [&] { return notifier("listUsers", "").body; };
  EXPECT_EQ(shown("Anna", "Schmidt"), "");

  std::int64_t ada = announce(anna, "Ada", "Lobby");
  EXPECT_EQ(shown("Anna", "Schmidt"), std::to_string(ada));
  RawReply moved = post("/api/desk/notifications/" + std::to_string(ada) + "/reassign", json{{"staffId", ben}}.dump());
  ASSERT_EQ(moved.status, 201) << moved.body;
  std::string movedId = std::to_string(json::parse(moved.body)["id"].get<std::int64_t>());
  EXPECT_EQ(shown("Anna", "Schmidt"), "");
  EXPECT_EQ(shown("Ben", "Weber"), movedId);
  ASSERT_EQ(post("/api/desk/notifications/" + movedId + "/archive", "{}").status, 200);
  EXPECT_EQ(shown("Ben", "Weber"), "");
  // Closed by the host at once, before the delivery is likely written: still "1".
  std::int64_t bo = announce(ben, "Bo", "Gate");
  EXPECT_EQ(shown("Ben", "Weber"), std::to_string(bo));
  EXPECT_EQ(notifier("archiveNotification", "&id=" + std::to_string(bo)).body, "1");
  EXPECT_EQ(shown("Ben", "Weber"), "");

  // Another connection, as another process or instance would write. On
  // PostgreSQL the change reaches this instance by NOTIFY, a moment after
  // the commit: the poll is asked again for at most 2 s.
  sqlite3* opened = nullptr;
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> closing(
      !testsOnPostgres() && sqlite3_open(database_.c_str(), &opened) == SQLITE_OK ? opened : nullptr, sqlite3_close);
  sqlite3* outside = closing.get();
  ASSERT_TRUE(outside != nullptr || testsOnPostgres());
  if (outside != nullptr) sqlite3_busy_timeout(outside, 2000);  // the service may be writing a delivery
  auto write = [&](const std::string& sql) {
    if (outside == nullptr) return postgres_.execute(sql);
    return std::string(sqlite3_exec(outside, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK ? "" : sqlite3_errmsg(outside));
  };
  auto eventually = [](const std::function<std::string()>& read, const std::string& expected) {
    std::string seen = read();
    for (int attempt = 0; attempt < 100 && seen != expected; ++attempt) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      seen = read();
    }
    return seen;
  };
  ASSERT_EQ(write("INSERT INTO notification (staff_id, headline, detail, arrived_at) VALUES (" + std::to_string(anna) +
                  ", 'Cy', 'Door', 1)"),
            "");
  std::string cy = std::to_string(saved("SELECT max(id) FROM notification"));
  EXPECT_EQ(eventually([&] { return shown("Anna", "Schmidt"); }, cy), cy);
  ASSERT_EQ(write("UPDATE notification SET archived_at = 2 WHERE id = " + cy), "");
  EXPECT_EQ(eventually([&] { return shown("Anna", "Schmidt"); }, ""), "");
  ASSERT_EQ(write("UPDATE staff SET display_name = 'Anna Berg', last_name = 'Berg' WHERE first_name = 'Anna'"), "");
  EXPECT_EQ(eventually(names, "Anna Berg,Ben Weber"), "Anna Berg,Ben Weber");

  // A directory sync adds, renames and deactivates.
  DirectoryPlan plan;
  DirectoryEntry dora{"uid=dora", "u-dora", "Dora", "Lang", std::nullopt, ""};
  ASSERT_EQ(applyDirectorySync({dora}, false, true, plan), DirectoryApply::applied);
  EXPECT_EQ(names(), "Anna Berg,Dora Lang,Ben Weber");
  std::int64_t doraId = 0;
  json staff = state()["staff"];
  for (const json& member : staff) {
    if (member["displayName"] == "Dora Lang") doraId = member["id"].get<std::int64_t>();
  }
  std::int64_t eve = announce(doraId, "Eve", "Hall");
  EXPECT_EQ(shown("Dora", "Lang"), std::to_string(eve));
  dora.lastName = "Stein";
  ASSERT_EQ(applyDirectorySync({dora}, false, true, plan), DirectoryApply::applied);
  EXPECT_EQ(shown("Dora", "Lang"), "");
  EXPECT_EQ(shown("Dora", "Stein"), std::to_string(eve));
  ASSERT_EQ(post("/api/desk/notifications/" + std::to_string(eve) + "/archive", "{}").status, 200);
  ASSERT_EQ(applyDirectorySync({}, false, true, plan), DirectoryApply::applied);
  EXPECT_EQ(names(), "Anna Berg,Ben Weber");
}

TEST_F(ReceptionApiTest, FiftyParallelPollersWithoutAnError) {
  currentTimeMs = realTime_;
  // Fifty notifiers, here all from one address: more than one address may
  // hold connections by default.
  stopHttpServer();
  settings_.maxConnectionsPerAddress = 64;
  startService();
  constexpr int pollers = 50;
  constexpr int pollsEach = 20;
  std::vector<std::int64_t> staff;
  for (int i = 0; i < pollers; ++i) staff.push_back(addStaffMember("Poller" + std::to_string(i), "Test"));

  std::atomic<int> failures{0};
  std::atomic<int> archived{0};
  std::thread desk([&] {
    for (int i = 0; i < pollers; ++i) {
      if (announce(staff[static_cast<std::size_t>(i)], "Guest " + std::to_string(i), "Lobby") == 0) ++failures;
    }
  });
  std::vector<std::thread> threads;
  for (int i = 0; i < pollers; ++i) {
    threads.emplace_back([&, i] {
      std::string query = "&fn=Poller" + std::to_string(i) + "&ln=Test";
      bool done = false;
      for (int poll = 0; poll < pollsEach; ++poll) {
        RawReply reply = notifier("getNotification", query);
        if (!reply.complete || reply.status != 200) {
          ++failures;
          continue;
        }
        if (reply.body.empty() || done) continue;
        // One record of this poller's own guest.
        std::string id = reply.body.substr(0, reply.body.find('|'));
        if (reply.body.find("|Guest " + std::to_string(i) + "|Lobby|") == std::string::npos ||
            reply.body.find(',') != std::string::npos) {
          ++failures;
        }
        if (notifier("archiveNotification", "&id=" + id).body == "1") {
          ++archived;
          done = true;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  desk.join();
  EXPECT_EQ(failures.load(), 0);

  // Guests announced after a poller's last poll are archived now.
  for (int i = 0; i < pollers; ++i) {
    RawReply reply = notifier("getNotification", "&fn=Poller" + std::to_string(i) + "&ln=Test");
    if (!reply.body.empty() && notifier("archiveNotification", "&id=" + reply.body.substr(0, reply.body.find('|'))).body == "1") {
      ++archived;
    }
  }
  EXPECT_EQ(archived.load(), pollers);
  json guests = state()["notifications"];
  ASSERT_EQ(guests.size(), static_cast<std::size_t>(pollers));
  for (const json& guest : guests) {
    EXPECT_FALSE(guest["deliveredAt"].is_null());
    EXPECT_EQ(guest["archivedBy"], "host");
  }
}

// The notifier's own client, on port 80 of a loopback address of this test's
// own, decodes what the service answers.
class NotifierClientTest : public InProcessServiceTest {
 protected:
  void SetUp() override {
    InProcessServiceTest::SetUp();
    std::random_device random;
    for (int attempt = 0; attempt < 20 && !serving_; ++attempt) {
      std::string address = "127." + std::to_string(random() % 250 + 1) + "." + std::to_string(random() % 250 + 1) +
                            "." + std::to_string(random() % 250 + 1);
      tryStartService(address, 80);
    }
    ASSERT_TRUE(serving_);
    // The client writes downloaded.file into the working directory.
    previousDirectory_ = std::filesystem::current_path();
    std::filesystem::current_path(clientDirectory_.path);
    previousBaseUrl_ = serviceBaseUrl;
    serviceBaseUrl = "http://" + host_ + "/api/reception/";
  }
  void TearDown() override {
    serviceBaseUrl = previousBaseUrl_;
    std::filesystem::current_path(previousDirectory_);
    InProcessServiceTest::TearDown();
  }
  TemporaryDirectory clientDirectory_;
  std::filesystem::path previousDirectory_;
  std::string previousBaseUrl_;
};

TEST_F(NotifierClientTest, ListsPollsAndArchivesThroughTheRealClient) {
  std::int64_t jose = addStaffMember("José", "Müller");
  addStaffMember("Chloé", "Dubois");
  std::int64_t guest = announce(jose, "Zoë Brontë", "Meeting room 2");

  UserList users;
  ASSERT_EQ(fetchUsers(users), 0);
  EXPECT_EQ(users, (UserList{"Chlo\xE9 Dubois", "Jos\xE9 M\xFCller"}));

  NotificationList list;
  ASSERT_EQ(fetchNotifications(users[1].c_str(), list), 0);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].id, std::to_string(guest));
  EXPECT_EQ(list[0].headline, "Zo\xEB Bront\xEB");
  EXPECT_EQ(list[0].detail, "Meeting room 2");
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  int secondsOfDay = local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
  int arrival = list[0].arrivalHour * 3600 + list[0].arrivalMinute * 60 + list[0].arrivalSecond;
  EXPECT_LE((secondsOfDay - arrival + 86400) % 86400, 5);

  EXPECT_EQ(archiveNotification(list[0].id), 1);
  EXPECT_EQ(archiveNotification(list[0].id), 0);
  NotificationList after;
  fetchNotifications(users[1].c_str(), after);
  EXPECT_TRUE(after.empty());
}
