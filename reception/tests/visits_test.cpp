// Visits: started by every announcement, listed while on site, signed out
// at the desk or automatically, and in the visitor log.
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>

#include <sys/wait.h>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "alerts/alert_worker.h"
#include "desk/desk.h"
#include "reception_client.h"
#include "reception_test_support.h"
#include "store/erase.h"
#include "store/host_sessions.h"
#include "store/visits.h"
#include "visits/sign_out_worker.h"
#include "rules/visit_options.h"

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
  // The first column of the query's last row, as the file holds it.
  std::string scalar(const char* sql) { return storedValue(sql); }
  int visitRows() { return std::atoi(scalar("SELECT count(*) FROM visit").c_str()); }
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
  // The board has each guest's company too, the reassigned guest's on both of its rows.
  json board = json::parse(get("/api/desk/state").body)["notifications"];
  ASSERT_EQ(board.size(), 3u);
  for (const json& guest : board) {
    EXPECT_EQ(guest.value("company", std::string("(none)")), guest["guestName"] == "Ada Lovelace" ? "Analytical Engines" : "")
        << guest;
  }

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

// Signing out ends the wait, in the sign-out's own write: the waiting guest
// is withdrawn, polled by no notifier, never alerted; a notifier already
// showing the guest keeps it until Close, and the desk says so.
TEST_F(VisitsTest, SigningOutWithdrawsTheWaitingGuest) {
  std::int64_t ann = addStaffMember("Ann", "Lee");
  std::string poll = std::string("/api/reception/getNotification?key=") + accessKey + "&fn=Ann&ln=Lee";
  json shown = announceFrom(ann, "Shown Guest", "");
  EXPECT_NE(get(poll).body.find("Shown Guest"), std::string::npos);
  json unseen = announceFrom(ann, "Unseen Guest", "");
  json late = announceFrom(ann, "Late Guest", "");
  for (const json& visit : {shown, unseen}) {
    ASSERT_EQ(post("/api/desk/visits/" + visit["visitId"].dump() + "/sign-out", "{}").status, 200);
  }
  std::int64_t count = 0;
  ASSERT_EQ(signOutEveryone("automatic", count), Outcome::ok);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(get(poll).body, "") << "nobody waits for Ann any more";

  fakeNow += 600000;  // long past both steps of the chain
  AlertSettings alerts;
  alerts.policy = FrontDeskPolicy{60000, 300000, 30};
  runAlertPass(alerts, fakeNow);
  EXPECT_EQ(scalar("SELECT count(*) FROM alert_step"), "0");
  auto board = [this] {
    std::map<std::string, json> byName;
    json desk = state();
    for (const json& guest : desk["notifications"]) byName[guest["guestName"]] = guest;
    return byName;
  };
  std::map<std::string, json> guests = board();
  for (const char* name : {"Shown Guest", "Unseen Guest", "Late Guest"}) {
    EXPECT_EQ(guests[name]["archivedBy"], "signed out") << name;
    EXPECT_EQ(guests[name]["escalation"], "") << name;
    EXPECT_EQ(guests[name]["stillOnScreen"], std::string(name) == "Shown Guest") << name;
  }
  for (const json& row : log()) EXPECT_EQ(row["outcome"], "withdrawn") << row;

  // Ann clicks Close on the guest her notifier still shows.
  EXPECT_EQ(get(std::string("/api/reception/archiveNotification?key=") + accessKey + "&id=" + shown["id"].dump()).body,
            "0");
  EXPECT_EQ(board()["Shown Guest"]["stillOnScreen"], false);
}

// The kiosk and invitations, with house rules set.
class KioskTest : public VisitsTest {
 protected:
  void SetUp() override {
    settings_.desk.visits.houseRules = houseRulesOf("No smoking.\nWear the badge.\n");
    // Mail configured: invitations with an address queue their mail (no worker sends it here).
    settings_.desk.visits.mailFrom = "desk@example.com";
    settings_.host.visits = settings_.desk.visits;
    VisitsTest::SetUp();
    addDeskAccount("tablet", "kiosk", "tablet-password");
    addDeskAccount("front", "desk", "front-password");
    kiosk_ = deskLogin(host_, port_, "tablet", "tablet-password");
    desk_ = deskLogin(host_, port_, "front", "front-password");
    ASSERT_FALSE(kiosk_.empty());
  }
  RawReply as(const std::string& cookie, const std::string& method, const std::string& target, const json& body = nullptr) {
    return send11(host_, port_, method, target, body.is_null() ? "" : body.dump(), body.is_null() ? "" : "application/json",
                  cookie);
  }
  RawReply kiosk(const std::string& method, const std::string& target, const json& body = nullptr) {
    return as(kiosk_, method, target, body);
  }
  // The outbox row of the invitation's mail: state, address, guest record
  // (0: none) and whether it still holds the code; "(none)" without one.
  std::string mailOf(const json& invited) {
    return storedValue("SELECT state || ' ' || target || ' ' || notification_id || CASE WHEN payload LIKE '%" +
                       invited["code"].get<std::string>() +
                       "%' THEN ' +code' ELSE '' END FROM alert_outbox WHERE invitation_id = " + invited["id"].dump());
  }
  json rulesAccepted(json body) {
    body["houseRulesVersion"] = houseRulesOf("No smoking.\nWear the badge.\n").version;
    return body;
  }
  std::string kiosk_;
  std::string desk_;
};

TEST_F(KioskTest, TheKioskReachesOnlyItsOwnRequestsAndFindsOnlyActiveNames) {
  std::int64_t ann = addStaffMember("Ann", "Lee");
  ASSERT_EQ(send("PUT", "/api/desk/staff/" + std::to_string(ann), R"({"email": "ann@example.com"})").status, 200);
  std::int64_t gone = addStaffMember("Anna", "Gone");
  ASSERT_EQ(send("DELETE", "/api/desk/staff/" + std::to_string(gone)).status, 200);
  for (int i = 0; i < 12; ++i) addStaffMember("Ed" + std::string(1, static_cast<char>('a' + i)), "Roe");

  struct Case {
    const std::string* cookie;
    const char* method;
    const char* target;
    int status;
  };
  const std::string none;
  const Case cases[] = {
      {&kiosk_, "GET", "/api/desk/state", 403},          {&kiosk_, "GET", "/api/desk/session", 403},
      {&kiosk_, "GET", "/api/desk/on-site", 403},        {&kiosk_, "POST", "/api/desk/notifications", 403},
      {&kiosk_, "POST", "/api/desk/logout", 403},        {&kiosk_, "GET", "/api/desk/no-such", 403},
      {&kiosk_, "GET", "/api/desk/visitors", 403},       {&kiosk_, "POST", "/api/desk/invitations", 403},
      {&kiosk_, "GET", "/api/me/session", 403},          {&kiosk_, "GET", "/api/kiosk/no-such", 404},
      {&kiosk_, "GET", "/api/kiosk/house-rules", 200},   {&kiosk_, "GET", "/api/kiosk/hosts?q=an", 200},
      {&kiosk_, "GET", "/api/kiosk/on-site?q=ad", 200},  {&desk_, "GET", "/api/kiosk/hosts?q=an", 403},
      {&adminCookie_, "POST", "/api/kiosk/check-in", 403}, {&none, "GET", "/api/kiosk/house-rules", 401},
      {&desk_, "GET", "/api/desk/on-site", 200},
  };
  get("/api/desk/session");  // the admin's session
  for (const Case& c : cases) {
    bool write = std::string(c.method) == "POST";
    EXPECT_EQ(as(*c.cookie, c.method, c.target, write ? json::object() : json(nullptr)).status, c.status)
        << c.method << " " << c.target;
  }

  // Names only, active members only, at most 10, and never from one letter.
  RawReply found = kiosk("GET", "/api/kiosk/hosts?q=AN");
  EXPECT_EQ(json::parse(found.body), (json{{"hosts", {{{"id", ann}, {"name", "Ann Lee"}}}}}));
  EXPECT_EQ(found.body.find("example.com"), std::string::npos);
  EXPECT_EQ(json::parse(kiosk("GET", "/api/kiosk/hosts?q=gone").body)["hosts"].size(), 0u);
  EXPECT_EQ(json::parse(kiosk("GET", "/api/kiosk/hosts?q=roe").body)["hosts"].size(), 10u);
  EXPECT_EQ(json::parse(kiosk("GET", "/api/kiosk/hosts?q=%25").body)["hosts"].size(), 0u) << "% is a letter, not a wildcard";
  EXPECT_EQ(kiosk("GET", "/api/kiosk/hosts?q=a").status, 400);
  EXPECT_EQ(kiosk("GET", "/api/kiosk/hosts?q=%20a%20").status, 400);

  // A kiosk stays signed in for 90 days from last use; a desk session does not.
  fakeNow += 30LL * 86400000;
  EXPECT_EQ(kiosk("GET", "/api/kiosk/house-rules").status, 200);
  EXPECT_EQ(as(desk_, "GET", "/api/desk/on-site").status, 401);
  fakeNow += 89LL * 86400000;
  EXPECT_EQ(kiosk("GET", "/api/kiosk/house-rules").status, 200);
  fakeNow += 91LL * 86400000;
  EXPECT_EQ(kiosk("GET", "/api/kiosk/house-rules").status, 401);
}

TEST_F(KioskTest, WalkUpAndInvitedGuestsCheckInOnceWithTheHouseRulesAndSignOut) {
  std::int64_t ann = addStaffMember("Ann", "Lee");
  json rules = json::parse(kiosk("GET", "/api/kiosk/house-rules").body);
  EXPECT_EQ(rules["text"], "No smoking.\nWear the badge.\n");
  json walkUp = {{"guestName", "Ada Lovelace"}, {"company", "Engines Ltd"}, {"hostId", ann}};
  EXPECT_EQ(kiosk("POST", "/api/kiosk/check-in", walkUp).status, 409) << "the house rules come first";
  walkUp["houseRulesVersion"] = "old";
  EXPECT_EQ(kiosk("POST", "/api/kiosk/check-in", walkUp).status, 409);
  RawReply checkedIn = kiosk("POST", "/api/kiosk/check-in", rulesAccepted(walkUp));
  ASSERT_EQ(checkedIn.status, 201) << checkedIn.body;
  EXPECT_EQ(json::parse(checkedIn.body)["hostName"], "Ann Lee");
  HouseRules accepted = houseRulesOf("No smoking.\nWear the badge.\n");
  EXPECT_EQ(scalar("SELECT house_rules_version || ' ' || house_rules_sha256 || ' ' || checked_in_by FROM visit"),
            accepted.version + " " + accepted.sha256 + " tablet");
  EXPECT_EQ(accepted.sha256, "4f13d882c156568cb34aa758294472b78b3a3f417423ed139ddffe3f47da653e") << "sha256sum of the text";

  // Invitations: today's, tomorrow's, and a cancelled one of the host.
  std::string today = "2026-01-02";
  json invitation = {{"hostId", ann}, {"guestName", "Grace Hopper"}, {"company", "Navy"}, {"expectedOn", today},
                     {"expectedAt", "10:00"}, {"guestEmail", "grace@example.com"}};
  RawReply invited = as(desk_, "POST", "/api/desk/invitations", invitation);
  ASSERT_EQ(invited.status, 201) << invited.body;
  std::string code = json::parse(invited.body)["code"];
  EXPECT_EQ(mailOf(json::parse(invited.body)), "pending grace@example.com 0 +code") << "queued with the invitation";
  ASSERT_EQ(code.size(), 8u);
  EXPECT_EQ(code.find_first_not_of("23456789ABCDEFGHJKMNPQRSTUVWXYZ"), std::string::npos) << code;
  invitation["expectedOn"] = "2026-01-03";
  std::string tomorrow = json::parse(as(desk_, "POST", "/api/desk/invitations", invitation).body)["code"];
  for (const json& bad : {json{{"expectedOn", "2026-01-01"}}, json{{"expectedOn", "2026-02-30"}},
                          json{{"expectedAt", "25:00"}}, json{{"guestEmail", "not mail"}}, json{{"hostId", 0}}}) {
    json body = invitation;
    body.update(bad);
    EXPECT_EQ(as(desk_, "POST", "/api/desk/invitations", body).status, 400) << bad;
  }

  json day = json::parse(as(desk_, "GET", "/api/desk/invitations?day=" + today).body)["invitations"];
  ASSERT_EQ(day.size(), 1u);
  EXPECT_EQ(day[0]["state"], "open");
  RawReply wrong = kiosk("POST", "/api/kiosk/check-in", rulesAccepted({{"code", "ZZZZZZZZ"}}));
  EXPECT_EQ(wrong.status, 404);
  // The code is checked before the rules are asked for: a wrong one, or
  // another day's, is told at once; a right one gets the rules' version.
  for (const json& unusable : {json("ZZZZZZZZ"), json(tomorrow), json(42)}) {
    RawReply refused = kiosk("POST", "/api/kiosk/check-in", {{"code", unusable}});
    EXPECT_EQ(refused.status, 404) << unusable;
    EXPECT_EQ(refused.body, wrong.body) << unusable << ": one answer for every unusable code";
  }
  EXPECT_EQ(kiosk("POST", "/api/kiosk/check-in", rulesAccepted({{"code", tomorrow}})).body, wrong.body)
      << "another day's code gets the same answer";
  std::string typed = code.substr(0, 4) + " " + code.substr(4);
  for (char& c : typed) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  RawReply rulesFirst = kiosk("POST", "/api/kiosk/check-in", {{"code", typed}});
  EXPECT_EQ(rulesFirst.status, 409) << rulesFirst.body;
  EXPECT_EQ(json::parse(rulesFirst.body)["houseRulesVersion"], rules["version"]);
  EXPECT_EQ(mailOf(json::parse(invited.body)), "pending grace@example.com 0 +code") << "asking for the rules used nothing";
  RawReply byCode = kiosk("POST", "/api/kiosk/check-in", rulesAccepted({{"code", typed}}));
  ASSERT_EQ(byCode.status, 201) << byCode.body;
  EXPECT_EQ(json::parse(byCode.body)["guestName"], "Grace Hopper");
  EXPECT_EQ(kiosk("POST", "/api/kiosk/check-in", rulesAccepted({{"code", code}})).body, wrong.body) << "used once";
  EXPECT_EQ(kiosk("POST", "/api/kiosk/check-in", {{"code", code}}).status, 404) << "used: no rules asked for";
  EXPECT_EQ(mailOf(json::parse(invited.body)), "cancelled grace@example.com 0") << "a used invitation is not mailed";
  EXPECT_EQ(as(desk_, "POST", "/api/desk/invitations/" + day[0]["id"].dump() + "/check-in", json::object()).status, 404);

  json found = json::parse(kiosk("GET", "/api/kiosk/on-site?q=GRA").body)["visits"];
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].size(), 2u) << "ids and names only";
  json logged = log();
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[0]["checkInMethod"], "kiosk");
  EXPECT_EQ(logged[1]["checkInMethod"], "invitation");
  EXPECT_EQ(logged[1]["company"], "Navy");

  EXPECT_EQ(kiosk("POST", "/api/kiosk/sign-out", {{"code", code}}).status, 200);
  EXPECT_EQ(kiosk("POST", "/api/kiosk/sign-out", {{"code", code}}).status, 404);
  EXPECT_EQ(kiosk("POST", "/api/kiosk/sign-out", {{"visitId", json::parse(checkedIn.body)["visitId"]}}).status, 200);
  EXPECT_TRUE(onSite().empty());

  // Yesterday's guest still on site is not the kiosk's to sign out.
  std::int64_t late = announceFrom(ann, "Late Larry", "")["visitId"];
  fakeNow += 86400000;
  adminCookie_.clear();
  EXPECT_EQ(kiosk("POST", "/api/kiosk/sign-out", {{"visitId", late}}).status, 404);

  desk_ = deskLogin(host_, port_, "front", "front-password");
  // A host's own invitations: only theirs are listed and cancelled.
  std::string token;
  ASSERT_EQ(startHostSession(ann, "link", token), Outcome::ok);
  std::string hostCookie = "Cookie: vestibra_host=" + token + "\r\n";
  RawReply mine = as(hostCookie, "POST", "/api/me/invitations",
                     {{"guestName", "Hedy Lamarr"}, {"guestEmail", "hedy@example.com"}, {"expectedOn", "2026-01-05"}});
  ASSERT_EQ(mine.status, 201) << mine.body;
  EXPECT_EQ(mailOf(json::parse(mine.body)), "pending hedy@example.com 0 +code");
  EXPECT_EQ(json::parse(mine.body)["hostName"], "Ann Lee");
  json listed = json::parse(as(hostCookie, "GET", "/api/me/invitations").body)["invitations"];
  ASSERT_EQ(listed.size(), 2u) << "tomorrow's from the desk and the host's own";
  json notYours = json::parse(as(desk_, "POST", "/api/desk/invitations",
                                 {{"hostId", addStaffMember("Bob", "Ray")}, {"guestName", "Not Yours"},
                                  {"expectedOn", "2026-01-05"}}).body);
  EXPECT_EQ(mailOf(notYours), "(none)") << "no address, no mail";
  std::int64_t bobs = notYours["id"];
  EXPECT_EQ(as(hostCookie, "DELETE", "/api/me/invitations/" + std::to_string(bobs)).status, 404);
  std::string own = "/api/me/invitations/" + json::parse(mine.body)["id"].dump();
  EXPECT_EQ(as(hostCookie, "DELETE", own).status, 200);
  EXPECT_EQ(as(hostCookie, "DELETE", own).status, 404);
  EXPECT_EQ(mailOf(json::parse(mine.body)), "cancelled hedy@example.com 0") << "cancelled before it was sent";
  EXPECT_EQ(as(kiosk_, "GET", "/api/me/invitations").status, 403);

  // The desk checks tomorrow's (now today's) guest in with one click.
  std::int64_t second = json::parse(as(desk_, "GET", "/api/desk/invitations").body)["invitations"][0]["id"];
  RawReply byDesk = as(desk_, "POST", "/api/desk/invitations/" + std::to_string(second) + "/check-in", json::object());
  EXPECT_EQ(byDesk.status, 201) << byDesk.body;
}
std::string fileBytes(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

TEST_F(KioskTest, ErasingAVisitorLeavesNoTraceOfTheNameInTheFiles) {
  std::int64_t ann = addStaffMember("Ann", "Lee");
  const std::string name = "Zebulon Quartermaine";
  // Two visits, one reassigned, one from an invitation, and audit entries naming him.
  std::int64_t first = announceFrom(ann, name, "Quartz Ltd")["id"];
  std::int64_t bob = addStaffMember("Bob", "Ray");
  ASSERT_EQ(post("/api/desk/notifications/" + std::to_string(first) + "/reassign", json{{"staffId", bob}}.dump()).status, 201);
  json invited = json::parse(as(desk_, "POST", "/api/desk/invitations",
                                {{"hostId", ann}, {"guestName", name}, {"guestEmail", "zq@example.com"},
                                 {"expectedOn", "2026-01-02"}}).body);
  ASSERT_EQ(kiosk("POST", "/api/kiosk/check-in", rulesAccepted({{"code", invited["code"]}})).status, 201);
  as(desk_, "POST", "/api/desk/invitations", {{"hostId", ann}, {"guestName", "Ursula Other"}, {"guestEmail", "zq@example.com"},
                                              {"expectedOn", "2026-01-03"}});
  announceFrom(ann, "Keep Mellon", "");
  as(desk_, "POST", "/api/desk/invitations", {{"hostId", ann}, {"guestName", "Keep Mellon"}, {"guestEmail", "keep@example.com"},
                                              {"expectedOn", "2026-01-04"}});
  EXPECT_EQ(storedValue("SELECT count(*) FROM alert_outbox WHERE target = 'zq@example.com'"), "2") << "their mails queued";

  // By email over the API (admin only): the other name of that address goes.
  EXPECT_EQ(as(desk_, "POST", "/api/desk/visitors/erase", {{"guestEmail", "zq@example.com"}}).status, 403);
  EXPECT_EQ(post("/api/desk/visitors/erase", json{{"guestName", name}, {"guestEmail", "zq@example.com"}}.dump()).status, 400);
  RawReply byEmail = post("/api/desk/visitors/erase", json{{"guestEmail", "ZQ@example.com"}}.dump());
  EXPECT_EQ(json::parse(byEmail.body), (json{{"erased", 1}})) << byEmail.body;
  // The leader's step after the desk's erase rewrites the tables once (on PostgreSQL; nothing is due on SQLite).
  auto rewrites = [&] { return storedValue("SELECT count(*) FROM audit_log WHERE action = 'erase-rewrite'"); };
  EXPECT_EQ(rewriteAfterErase("(service)"), Outcome::ok);
  EXPECT_EQ(rewriteAfterErase("(service)"), Outcome::ok);
  EXPECT_EQ(rewrites(), testsOnPostgres() ? "1" : "0");

  // The command on the same files, while this process still has them open.
  std::string output;
  const std::string& database = database_;
  EXPECT_EQ(runService({"erase-visitor", "--name", "zebulon  QUARTERMAINE", "--database", database}, directory_.path, output), 0)
      << output;
  EXPECT_EQ(output, "erased 1 visit\n");
  EXPECT_EQ(WEXITSTATUS(runService({"erase-visitor", "--name", name, "--email", "x@example.com", "--database", database},
                                  directory_.path, output)), 2);

  json visitors = log();
  ASSERT_EQ(visitors.size(), 1u);
  EXPECT_EQ(visitors[0]["guestName"], "Keep Mellon");
  std::string audit = get("/api/desk/audit").body;
  EXPECT_EQ(audit.find("Zebulon"), std::string::npos);
  EXPECT_EQ(audit.find("Ursula"), std::string::npos);
  EXPECT_NE(audit.find("erased 1 visit\""), std::string::npos) << audit;
  EXPECT_EQ(storedValue("SELECT count(*) || ' ' || min(target) FROM alert_outbox"), "1 keep@example.com")
      << "the erased invitations' mails went with them, another's stays";
  std::string bytes;
  if (testsOnPostgres()) {
    // The command rewrote the tables after both erasures; the server's table
    // files, once a checkpoint has written them, hold no copy of the rows.
    EXPECT_EQ(rewrites(), "2");
    std::string dataDirectory;
    std::string databaseOid;
    ASSERT_EQ(postgres_.execute("CHECKPOINT"), "");
    ASSERT_EQ(postgres_.execute("SHOW data_directory", &dataDirectory), "");
    ASSERT_EQ(postgres_.execute("SELECT oid FROM pg_database WHERE datname = current_database()", &databaseOid), "");
    for (const auto& file : std::filesystem::directory_iterator(std::filesystem::path(dataDirectory) / "base" / databaseOid)) {
      bytes += fileBytes(file.path());
    }
  } else {
    bytes = fileBytes(database) + fileBytes(database + "-wal");
  }
  EXPECT_NE(bytes.find("Keep Mellon"), std::string::npos) << "the search finds what is kept";
  for (const char* gone : {"Zebulon", "Quartermaine", "Ursula", "zq@example", "Quartz"}) {
    EXPECT_EQ(bytes.find(gone), std::string::npos) << gone << " is still in the files";
  }
}

}  // namespace
