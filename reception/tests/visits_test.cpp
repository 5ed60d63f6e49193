// Visits: started by every announcement, listed while on site, signed out
// at the desk or automatically, and in the visitor log.
#include <cstdlib>
#include <ctime>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "desk/desk.h"
#include "reception_test_support.h"
#include "store/visits.h"
#include "visits/sign_out_worker.h"
#include "visits/visit_options.h"

namespace {

using nlohmann::json;

TEST(VisitOptions, SignOutTimeIsAClockTimeOrOff) {
  const std::pair<const char*, int> cases[] = {{"23:59", 1439}, {"00:00", 0}, {"07:05", 425}, {"off", -1},
                                               {"24:00", -2},   {"7:05", -2}, {"07:60", -2},  {"0a:00", -2},
                                               {"", -2}};
  for (const auto& [text, minute] : cases) {
    VisitOptions options;
    std::string error = applyVisitOption("--sign-out-at", text, options);
    EXPECT_EQ(error.empty(), minute != -2) << text;
    if (minute != -2) {
      EXPECT_EQ(options.signOutMinute, minute) << text;
    }
  }
}

TEST(VisitOptions, NextSignOutIsTheComingLocalMinuteAcrossSummerTime) {
  const char* saved = std::getenv("TZ");
  std::string before = saved != nullptr ? saved : "";
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  // 2026-03-28 12:00 local (UTC+1); the clocks go forward in the night to the 29th.
  std::time_t noon = 1774695600;
  EXPECT_EQ(nextLocalMinute(noon, 12 * 60), noon + 23 * 3600) << "the next day is 23 hours long";
  EXPECT_EQ(nextLocalMinute(noon, 23 * 60 + 59), noon + 11 * 3600 + 59 * 60);
  EXPECT_EQ(nextLocalMinute(noon - 1, 12 * 60), noon) << "later the same day";
  if (saved != nullptr) setenv("TZ", before.c_str(), 1); else unsetenv("TZ");
  tzset();
}

class VisitsTest : public FakeClockServiceTest {
 protected:
  json announceFrom(std::int64_t staffId, const std::string& guest, const std::string& company) {
    RawReply reply = post("/api/desk/notifications", json{{"staffId", staffId}, {"guestName", guest},
                                                          {"company", company}, {"note", ""}}.dump());
    EXPECT_EQ(reply.status, 201) << reply.body;
    return json::parse(reply.body, nullptr, false);
  }
  json onSite() { return json::parse(get("/api/desk/on-site").body)["visits"]; }
  json log() { return json::parse(get("/api/desk/visitors").body)["visitors"]; }
  int visitRows() {
    sqlite3* file = nullptr;
    int rows = -1;
    if (sqlite3_open_v2((directory_.path / "reception.db").c_str(), &file, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
      sqlite3_exec(file, "SELECT count(*) FROM visit", [](void* out, int, char** values, char**) {
        *static_cast<int*>(out) = std::atoi(values[0]);
        return 0;
      }, &rows, nullptr);
    }
    sqlite3_close(file);
    return rows;
  }
};

TEST_F(VisitsTest, AnnouncementStartsAVisitThatFollowsReassignAndEndsOnce) {
  std::int64_t ann = addStaffMember("Ann", "Lee");
  std::int64_t bob = addStaffMember("Bob", "Ray");
  std::int64_t since = fakeNow;
  json ada = announceFrom(ann, "Ada Lovelace", "  Analytical   Engines ");
  json grace = announceFrom(bob, "Grace Hopper", "");
  EXPECT_EQ(post("/api/desk/notifications", json{{"staffId", ann}, {"guestName", "X"}, {"company", "a\nb"}}.dump()).status, 400);
  EXPECT_EQ(post("/api/desk/notifications", json{{"staffId", ann}, {"guestName", "X"}, {"company", 5}}.dump()).status, 400);

  // Reassigned, the guest stays one visit, now with the new host.
  ASSERT_EQ(post("/api/desk/notifications/" + std::to_string(ada["id"].get<std::int64_t>()) + "/reassign",
                 json{{"staffId", bob}}.dump()).status, 201);
  json visits = onSite();
  ASSERT_EQ(visits.size(), 2u) << visits;
  EXPECT_EQ(visits[0], (json{{"id", ada["visitId"]}, {"guestName", "Ada Lovelace"}, {"company", "Analytical Engines"},
                             {"hostId", bob}, {"hostName", "Bob Ray"}, {"checkedInAt", since}}));
  EXPECT_EQ(visits[1]["guestName"], "Grace Hopper");

  fakeNow += 60000;
  std::string signOut = "/api/desk/visits/" + std::to_string(ada["visitId"].get<std::int64_t>()) + "/sign-out";
  EXPECT_EQ(post(signOut, "{}").status, 200);
  EXPECT_EQ(post(signOut, "{}").status, 404) << "signed out once";
  EXPECT_EQ(post("/api/desk/visits/999/sign-out", "{}").status, 404);
  ASSERT_EQ(onSite().size(), 1u);

  // Both announcements of the reassigned guest show the visit in the log.
  json rows = log();
  ASSERT_EQ(rows.size(), 3u);
  for (const json& row : rows) {
    EXPECT_EQ(row["checkInMethod"], "desk");
    bool isAda = row["guestName"] == "Ada Lovelace";
    EXPECT_EQ(row["company"], isAda ? "Analytical Engines" : "");
    EXPECT_EQ(row["signedOutAt"], isAda ? json(since + 60000) : json(nullptr)) << row;
  }
  EXPECT_NE(get("/api/desk/visitors.csv").body.find(",Analytical Engines,desk,2026-01-02T09:31:05+00:00\r\n"),
            std::string::npos);

  // The day's automatic sign-out takes the rest; retention then deletes the
  // visit with its last announcement.
  EXPECT_EQ(visitRows(), 2);
  std::int64_t count = 0;
  ASSERT_EQ(signOutEveryone("automatic", count), Outcome::ok);
  EXPECT_EQ(count, 1);
  EXPECT_TRUE(onSite().empty());
  for (const json& row : rows) post("/api/desk/notifications/" + std::to_string(row["id"].get<std::int64_t>()) + "/archive", "{}");
  fakeNow += 40LL * 86400000;
  adminCookie_.clear();
  applyRetention(30);
  EXPECT_TRUE(log().empty());
  EXPECT_EQ(visitRows(), 0) << "the visits went with their announcements";
}

}  // namespace
