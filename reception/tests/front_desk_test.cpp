// The front desk's pure parts (CSV, import preview, escalation, retention
// cut, options) and its requests against the service in this process.
#include <cctype>
#include <atomic>
#include <cstdlib>
#include <iterator>
#include <ctime>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "text/code_page.h"
#include "text/csv.h"
#include "desk/desk.h"
#include "rules/escalation.h"
#include "store/notifications.h"
#include "store/schema.h"
#include "commands/options.h"
#include "reception_client.h"
#include "reception_test_support.h"
#include "desk/staff_import.h"

namespace {

using nlohmann::json;
using Fields = std::vector<std::string>;

struct CsvCase {
  const char* name;
  std::string text;
  std::vector<std::pair<std::size_t, Fields>> records;  // line and fields
};

TEST(CsvReader, QuotesSeparatorsLineEndsAndByteOrderMark) {
  const CsvCase cases[] = {
      {"plain with LF", "a,b\nc,d\n", {{1, {"a", "b"}}, {2, {"c", "d"}}}},
      {"CRLF and no final line end", "a,b\r\nc,d", {{1, {"a", "b"}}, {2, {"c", "d"}}}},
      {"lone CR", "a,b\rc,d\r", {{1, {"a", "b"}}, {2, {"c", "d"}}}},
      {"byte order mark", "\xEF\xBB\xBF" "first_name,last_name\n", {{1, {"first_name", "last_name"}}}},
      {"semicolons chosen by the header", "a;b;c,d\ne;f,g\n", {{1, {"a", "b", "c,d"}}, {2, {"e", "f,g"}}}},
      {"a tie keeps commas", "a;b,c\n", {{1, {"a;b", "c"}}}},
      {"separator inside quotes", "\"x,y\",z\n", {{1, {"x,y", "z"}}}},
      {"doubled quotes", "\"say \"\"hi\"\"\",b\n", {{1, {"say \"hi\"", "b"}}}},
      {"line break inside quotes counts lines", "\"one\r\ntwo\",b\nc,d\n", {{1, {"one\r\ntwo", "b"}}, {3, {"c", "d"}}}},
      {"empty lines skipped, numbers kept", "\n\r\na,b\n\n\nc,d\n", {{3, {"a", "b"}}, {6, {"c", "d"}}}},
      {"a quoted empty field is a record", "\"\"\n", {{1, {""}}}},
      {"empty fields", ",,\n", {{1, {"", "", ""}}}},
      {"stray quotes kept", "ab\"c,\"d\"e\n", {{1, {"ab\"c", "de"}}}},
      {"semicolon header in quotes ignored", "\"a;b;c\",d\n", {{1, {"a;b;c", "d"}}}},
  };
  for (const CsvCase& c : cases) {
    std::vector<CsvRecord> records = readCsv(c.text);
    ASSERT_EQ(records.size(), c.records.size()) << c.name;
    for (std::size_t i = 0; i < records.size(); ++i) {
      EXPECT_EQ(records[i].line, c.records[i].first) << c.name;
      EXPECT_EQ(records[i].fields, c.records[i].second) << c.name;
      EXPECT_FALSE(records[i].unclosedQuote) << c.name;
    }
  }
  std::vector<CsvRecord> unclosed = readCsv("a,b\n\"c,d\ne\n");
  ASSERT_EQ(unclosed.size(), 2u);
  EXPECT_TRUE(unclosed[1].unclosedQuote);
  EXPECT_EQ(unclosed[1].line, 2u);
}

TEST(CsvWriter, QuotesWhatNeedsItAndDefusesFormulas) {
  EXPECT_EQ(csvLine({"plain", "a,b", "a;b", "say \"hi\"", "two\nlines", ""}),
            "plain,\"a,b\",\"a;b\",\"say \"\"hi\"\"\",\"two\nlines\",\r\n");
  EXPECT_EQ(csvLine({"=1+1", "+1", "-1", "@SUM(A1)", "a=b"}), "'=1+1,'+1,'-1,'@SUM(A1),a=b\r\n");
  // What the writer makes, the reader reads back (the formula guard aside).
  Fields awkward = {"\xEF\xBB\xBF" "marked", "x,y", "\"q\"", "line\r\nbreak", "é;ü"};
  std::vector<CsvRecord> back = readCsv(csvLine(awkward));
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].fields, awkward);
}

std::vector<std::size_t> lines(const std::vector<ImportedName>& names) {
  std::vector<std::size_t> result;
  for (const ImportedName& name : names) result.push_back(name.line);
  return result;
}

TEST(StaffImportPreview, SortsRowsIntoAddedUnchangedAndRejected) {
  const std::string csv =
      "\xEF\xBB\xBF" "Department; LAST_NAME ;First Name\r\n"  // any order, case, blanks and "_", other columns
      "Sales;Meier;Hans\r\n"                                   // 2 added
      "\r\n"                                                   // 3 empty
      "IT;Schmidt;Anna\r\n"                                    // 4 unchanged
      "IT;\"Ng\";\" Mai \"\r\n"                                // 5 added, trimmed
      "HR;Meier;Hans\r\n"                                      // 6 duplicate of 2
      "HR;Nowak;\xC5\x81ukasz\r\n"                             // 7 code page
      "HR;Lee;Mary  Ann\r\n"                                   // 8 added, two words
      "HR;;Solo\r\n"                                           // 9 missing last name
      "HR;Eq=ual;Bo\r\n"                                       // 10 "="
      ";;\r\n"                                                 // 11 blank
      "HR;Pipe|d;Al\r\n"                                       // 12 "|"
      "HR;'-Dash;Tom\r\n"                                      // 13 added, export guard removed
      "HR;Smith;Mary Ann\r\n"                                  // 14 the two words of line 8
      "HR;Schmidt Weber;Anna\r\n"                              // 15 the two words of Anna Schmidt
      "HR;\"Open;Ann\r\n";                                     // 16 unclosed
  ImportPreview preview = previewStaffImport(csv, {"Anna Schmidt", "José Müller"});
  ASSERT_EQ(preview.error, "");
  EXPECT_EQ(lines(preview.added), (std::vector<std::size_t>{2, 5, 8, 13}));
  EXPECT_EQ(preview.added[1].firstName, "Mai");
  EXPECT_EQ(preview.added[2].firstName, "Mary Ann");
  EXPECT_EQ(preview.added[3].lastName, "-Dash");
  EXPECT_EQ(lines(preview.unchanged), (std::vector<std::size_t>{4}));
  std::vector<std::pair<std::size_t, std::string>> rejected;
  for (const RejectedRow& row : preview.rejected) rejected.emplace_back(row.line, row.reason);
  EXPECT_EQ(rejected, (std::vector<std::pair<std::size_t, std::string>>{
                          {6, "The same name as line 2."},
                          {7, "The first name contains \"\xC5\x81\", which notifiers using the code page WINDOWS-1252 "
                              "cannot show."},
                          {9, "The last name is missing."},
                          {10, "The last name must not contain \"=\"."},
                          {12, "The last name must not contain \",\" or \"|\"."},
                          {14, "Mary Ann Smith begins with the same two words as Mary Ann Lee (line 8): notifiers "
                               "tell staff apart by the first two words of the name."},
                          {15, "Anna Schmidt Weber begins with the same two words as Anna Schmidt (line 4): "
                               "notifiers tell staff apart by the first two words of the name."},
                          {16, "A quoted field is not closed."}}));
  EXPECT_EQ(preview.rejected[0].text, "Hans Meier");

  EXPECT_EQ(previewStaffImport("", {}).error, "The file is empty.");
  EXPECT_EQ(previewStaffImport("\n\n", {}).error, "The file is empty.");
  EXPECT_EQ(previewStaffImport("name,surname\nA,B\n", {}).error,
            "The first row must name the columns first_name and last_name.");
  EXPECT_EQ(previewStaffImport("first-name,LastName\nA,B\n", {}).added.size(), 1u);
  EXPECT_EQ(previewStaffImport("first_name\nA\n", {}).error,
            "The first row must name the columns first_name and last_name.");
}

TEST(StaffImportPreview, ExportReadsBackAsUnchanged) {
  std::vector<StaffRow> staff = {{1, "José", "Müller", "José Müller", {}},
                                 {2, "Liam", "O'Brien", "Liam O'Brien", {}},
                                 {3, "Tom", "-Dash", "Tom -Dash", {}},
                                 {4, "Jo;hn", "@Home", "Jo;hn @Home", {}}};
  std::string csv = staffCsv(staff);
  EXPECT_EQ(csv.substr(0, 3), "\xEF\xBB\xBF");
  ImportPreview preview = previewStaffImport(csv, {"José Müller", "Liam O'Brien", "Tom -Dash", "Jo;hn @Home"});
  EXPECT_EQ(preview.error, "");
  EXPECT_TRUE(preview.added.empty());
  EXPECT_TRUE(preview.rejected.empty());
  EXPECT_EQ(lines(preview.unchanged), (std::vector<std::size_t>{2, 3, 4, 5}));
}

TEST(Escalation, UnseenFromArrivalUnacknowledgedFromDelivery) {
  FrontDeskPolicy policy;  // 60 s and 300 s
  struct Case {
    std::int64_t now;
    std::optional<std::int64_t> delivered, archived;
    Escalation expected;
  };
  const std::int64_t arrived = 1000000;
  const Case cases[] = {
      {arrived + 60000, {}, {}, Escalation::none},  // exactly the threshold: not yet
      {arrived + 60001, {}, {}, Escalation::unseen},
      {arrived + 600000, arrived + 1000, {}, Escalation::unacknowledged},
      {arrived + 301000, arrived + 1000, {}, Escalation::none},  // counts from delivery, not arrival
      {arrived + 301001, arrived + 1000, {}, Escalation::unacknowledged},
      {arrived + 999999, {}, arrived + 5, Escalation::none},  // archived guests never
      {arrived - 5000, {}, {}, Escalation::none},             // the clock stepped back
  };
  for (const Case& c : cases) {
    EXPECT_EQ(escalationOf(arrived, c.delivered, c.archived, c.now, policy), c.expected) << c.now - arrived;
  }
  EXPECT_STREQ(escalationName(Escalation::unseen), "unseen");
  EXPECT_STREQ(escalationName(Escalation::none), "");
}

// The notifier shows the first guest it got of those it holds (a withdrawn
// one too, until Close), in poll order: by delivery, then arrival, then id.
TEST(HostScreen, TheFirstGuestTheNotifierGotIsShownTheRestQueueBehindIt) {
  const std::vector<HeldGuest> held = {
      {5, 1, 200, 10, true},   // reassigned here with an early arrival, so delivered last
      {3, 1, 100, 30, true},
      {2, 1, 100, 20, true},   // the same poll as #3, and arrived first
      {4, 1, 100, 20, true},   // the same arrival as #2: by id
      {7, 2, 300, 70, true},
      {6, 2, 250, 60, false},  // withdrawn, still on host 2's screen
      {8, 3, 400, 80, true},
  };
  std::map<std::int64_t, GuestScreen> places = screenPlaces(held);
  const std::pair<std::int64_t, GuestScreen> expected[] = {
      {2, {ScreenPlace::shown, 0}},  {4, {ScreenPlace::queued, 1}}, {3, {ScreenPlace::queued, 2}},
      {5, {ScreenPlace::queued, 3}}, {7, {ScreenPlace::queued, 1}}, {8, {ScreenPlace::shown, 0}},
  };
  EXPECT_EQ(places.size(), std::size(expected)) << "the withdrawn guest has no place of its own";
  for (const auto& [id, screen] : expected) {
    EXPECT_EQ(places[id].place, screen.place) << "#" << id;
    EXPECT_EQ(places[id].queuedBehind, screen.queuedBehind) << "#" << id;
  }

  // Seen: shown by the notifier from its delivery, or sent to the host's page.
  const std::optional<std::int64_t> none;
  const GuestScreen shown{ScreenPlace::shown, 0};
  const GuestScreen queued{ScreenPlace::queued, 1};
  EXPECT_EQ(seenAt(shown, 100, none), 100);
  EXPECT_EQ(seenAt(queued, 100, none), none) << "queued is not on screen";
  EXPECT_EQ(seenAt(queued, 100, 150), 150);
  EXPECT_EQ(seenAt(shown, 100, 90), 90) << "the earlier of the two";
  EXPECT_EQ(seenAt(GuestScreen{}, none, none), none);
  EXPECT_STREQ(screenName(ScreenPlace::queued), "queued");
  EXPECT_EQ(screenName(ScreenPlace::none), nullptr);
}

TEST(Retention, CutoffFromDays) {
  const std::int64_t now = 1767346205000LL;
  const std::int64_t day = 86400000LL;
  EXPECT_EQ(retentionCutoff(now, 0), std::nullopt);
  EXPECT_EQ(retentionCutoff(now, 1), now - day);
  EXPECT_EQ(retentionCutoff(now, 30), now - 30 * day);
  EXPECT_EQ(retentionCutoff(now, maxRetentionDays), now - maxRetentionDays * day);
}

TEST(CommandLine, FrontDeskOptions) {
  ReceptionOptions options;
  ASSERT_EQ(parseCommandLine({}, options), "");
  EXPECT_EQ(options.escalateAfterUnseenSeconds, 60);
  EXPECT_EQ(options.escalateAfterUnacknowledgedSeconds, 300);
  EXPECT_EQ(options.retentionDays, 30);
  ASSERT_EQ(parseCommandLine({"--escalate-after-unseen", "2", "--escalate-after-unacknowledged=3", "--retention-days",
                              "0"},
                             options),
            "");
  EXPECT_EQ(options.escalateAfterUnseenSeconds, 2);
  EXPECT_EQ(options.escalateAfterUnacknowledgedSeconds, 3);
  EXPECT_EQ(options.retentionDays, 0);
  EXPECT_EQ(parseCommandLine({"--escalate-after-unseen", "0"}, options),
            "--escalate-after-unseen: \"0\" is not a whole number from 1 to 604800");
  EXPECT_EQ(parseCommandLine({"--escalate-after-unacknowledged", "-5"}, options),
            "--escalate-after-unacknowledged: \"-5\" is not a whole number from 1 to 604800");
  EXPECT_EQ(parseCommandLine({"--retention-days", "36501"}, options),
            "--retention-days: \"36501\" is not a whole number from 0 to 36500");
  EXPECT_EQ(parseCommandLine({"--retention-days"}, options), "--retention-days needs a value");
}

// --- Against the service -----------------------------------------------------

class FrontDeskApiTest : public FakeClockServiceTest {
 protected:
  void SetUp() override {
    settings_.desk.policy = FrontDeskPolicy{};
    FakeClockServiceTest::SetUp();
  }
  json guests() { return state()["notifications"]; }
  json guest(std::int64_t id) {
    for (const json& g : guests()) {
      if (g["id"] == id) return g;
    }
    return nullptr;
  }

  // Rows of the staff table, removed members included, as the file holds them.
  int staffRows() {
    std::string rows = storedValue("SELECT count(*) FROM staff");
    return std::isdigit(static_cast<unsigned char>(rows[0])) ? std::atoi(rows.c_str()) : -1;
  }

};

TEST_F(FrontDeskApiTest, ReassignKeepsTheArrivalAndMovesTheGuestInOneStep) {
  std::int64_t ann = addStaffMember("Ann", "Lee");
  std::int64_t bob = addStaffMember("Bob", "Ray");
  std::int64_t arrival = fakeNow;
  std::int64_t first = announce(ann, "Ada Lovelace", "Room 2");
  fakeNow += 61000;
  EXPECT_EQ(guest(first)["escalation"], "unseen");

  EXPECT_EQ(post("/api/desk/notifications/" + std::to_string(first) + "/reassign", R"({"staffId": )" +
                 std::to_string(ann) + "}").status, 409);
  EXPECT_EQ(post("/api/desk/notifications/" + std::to_string(first) + "/reassign", R"({"staffId": 999})").status, 404);
  EXPECT_EQ(post("/api/desk/notifications/" + std::to_string(first) + "/reassign", R"({"staffId": "2"})").status, 400);
  EXPECT_EQ(send("GET", "/api/desk/notifications/1/reassign").status, 405);
  ASSERT_EQ(guests().size(), 1u) << "refused reassignments change nothing";

  RawReply moved = post("/api/desk/notifications/" + std::to_string(first) + "/reassign",
                        R"({"staffId": )" + std::to_string(bob) + "}");
  ASSERT_EQ(moved.status, 201) << moved.body;
  std::int64_t second = json::parse(moved.body)["id"];
  json old = guest(first);
  EXPECT_EQ(old["archivedBy"], "reassigned");
  EXPECT_EQ(old["archivedAt"], fakeNow.load());
  json now = guest(second);
  EXPECT_EQ(now["staffId"], bob);
  EXPECT_EQ(now["arrivedAt"], arrival);
  EXPECT_EQ(now["note"], "Room 2");
  EXPECT_EQ(now["escalation"], "") << "the new host has only just been given the guest";
  json audited = json::parse(get("/api/desk/audit").body)["entries"];  // newest first
  ASSERT_GE(audited.size(), 2u);
  EXPECT_EQ(audited[0]["action"], "reassign");  // one entry for one action
  EXPECT_EQ(audited[0]["detail"], "guest #" + std::to_string(first) + " Ada Lovelace from Ann Lee to Bob Ray as #" +
                                      std::to_string(second));
  EXPECT_EQ(audited[1]["action"], "announce");
  fakeNow += 60001;
  EXPECT_EQ(guest(second)["escalation"], "unseen");
  EXPECT_EQ(post("/api/desk/notifications/" + std::to_string(first) + "/reassign",
                 R"({"staffId": )" + std::to_string(ann) + "}").status, 404);

  // Bob's notifier gets the guest; Ann's no longer does.
  std::string keyed = std::string("/api/reception/getNotification?key=") + accessKey;
  EXPECT_NE(get(keyed + "&fn=Bob&ln=Ray").body.find("Ada Lovelace"), std::string::npos);
  EXPECT_EQ(get(keyed + "&fn=Ann&ln=Lee").body.find("Ada Lovelace"), std::string::npos);
  fakeNow += 301000;
  EXPECT_EQ(guest(second)["escalation"], "unacknowledged");
}

// The notifier keeps every guest it was given until its user clicks Close:
// the desk says so, and keeps a line for the guest until then.
TEST_F(FrontDeskApiTest, AGuestTakenOffTheBoardStaysOnTheHostsScreenUntilClosed) {
  std::int64_t ann = addStaffMember("Ann", "Lee");
  std::int64_t bob = addStaffMember("Bob", "Ray");
  std::string keyed = std::string("/api/reception/getNotification?key=") + accessKey + "&fn=Ann&ln=Lee";
  std::int64_t shown = announce(ann, "Ada Lovelace", "");
  std::int64_t moving = announce(ann, "Grace Hopper", "");
  get(keyed);  // both are on Ann's screen now
  std::int64_t unseen = announce(ann, "Alan Turing", "");

  json withdrawn = json::parse(post("/api/desk/notifications/" + std::to_string(shown) + "/archive", "{}").body);
  EXPECT_EQ(withdrawn["stillOnScreen"], true);
  EXPECT_EQ(withdrawn["hostName"], "Ann Lee");
  json reassigned = json::parse(
      post("/api/desk/notifications/" + std::to_string(moving) + "/reassign", R"({"staffId": )" + std::to_string(bob) + "}")
          .body);
  EXPECT_EQ(reassigned["stillOnPreviousScreen"], true);
  EXPECT_EQ(reassigned["previousHostName"], "Ann Lee");
  EXPECT_EQ(json::parse(post("/api/desk/notifications/" + std::to_string(unseen) + "/archive", "{}").body)["stillOnScreen"],
            false);
  EXPECT_EQ(guest(shown)["stillOnScreen"], true);
  EXPECT_EQ(guest(moving)["stillOnScreen"], true);
  EXPECT_EQ(guest(unseen)["stillOnScreen"], false);
  EXPECT_EQ(get(keyed).body, "") << "a guest not yet shown never is";
  json audited = json::parse(get("/api/desk/audit").body)["entries"];
  EXPECT_EQ(audited[2]["detail"], "guest #" + std::to_string(shown) + " Ada Lovelace for Ann Lee");  // newest first

  // Ann clicks Close: the notifier's archive answers as ever, and the desk's line goes.
  EXPECT_EQ(get(std::string("/api/reception/archiveNotification?key=") + accessKey + "&id=" + std::to_string(shown)).body,
            "0");
  EXPECT_EQ(guest(shown)["stillOnScreen"], false);
  EXPECT_EQ(guest(moving)["stillOnScreen"], true);
}

TEST(FrontDeskStorage, OpensADatabaseWrittenBeforeReassigningExisted) {
  TemporaryDirectory directory;
  std::string path = (directory.path / "reception.db").string();
  sqlite3* file = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &file), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(file, R"sql(
    CREATE TABLE staff (id INTEGER PRIMARY KEY, first_name TEXT NOT NULL, last_name TEXT NOT NULL,
      display_name TEXT NOT NULL, created_at INTEGER NOT NULL, removed_at INTEGER, last_poll_at INTEGER);
    CREATE TABLE notification (id INTEGER PRIMARY KEY AUTOINCREMENT, staff_id INTEGER NOT NULL REFERENCES staff(id),
      headline TEXT NOT NULL, detail TEXT NOT NULL, arrived_at INTEGER NOT NULL, delivered_at INTEGER,
      archived_at INTEGER, archived_by TEXT);
    PRAGMA user_version = 1;
    INSERT INTO staff VALUES (1, 'Ann', 'Lee', 'Ann Lee', 5, NULL, NULL), (2, 'Bob', 'Ray', 'Bob Ray', 5, NULL, NULL);
    INSERT INTO notification (staff_id, headline, detail, arrived_at) VALUES (1, 'Ada', '', 7);
  )sql", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(file);
  for (int opening = 0; opening < 2; ++opening) {  // the second time the column is there
    ASSERT_EQ(openStorage(path), "") << opening;
    std::vector<NotificationRow> rows;
    ASSERT_EQ(deskNotifications(0, rows), Outcome::ok);
    EXPECT_EQ(rows.size(), static_cast<std::size_t>(opening + 1));
    NotificationRow added;
    if (opening == 0) {
      WriteTransaction transaction;
      NotificationRow guest;
      ASSERT_EQ(waitingGuest(transaction, 1, guest), Outcome::ok);
      EXPECT_EQ(moveGuest(transaction, guest, 2, added), Outcome::ok);
      EXPECT_EQ(transaction.commit(), Outcome::ok);
      EXPECT_EQ(added.arrivedAt, 7);
    }
    closeStorage();
  }
}

TEST_F(FrontDeskApiTest, ImportPreviewsThenAppliesOnlyTheGoodRows) {
  addStaffMember("Anna", "Schmidt");
  auto body = [](const std::string& csv, bool apply) {
    return json{{"csv", csv}, {"apply", apply}}.dump();
  };
  const std::string csv = "first_name,last_name\nHans,Meier\nAnna,Schmidt\nBad|Name,X\nHans,Meier\n";
  RawReply preview = post("/api/desk/staff/import", body(csv, false));
  ASSERT_EQ(preview.status, 200) << preview.body;
  json previewed = json::parse(preview.body);
  EXPECT_EQ(previewed["added"].size(), 1u);
  EXPECT_EQ(previewed["unchanged"].size(), 1u);
  EXPECT_EQ(previewed["rejected"].size(), 2u);
  EXPECT_EQ(state()["staff"].size(), 1u) << "a preview writes nothing";

  json applied = json::parse(post("/api/desk/staff/import", body(csv, true)).body);
  EXPECT_EQ(applied["applied"], true);
  EXPECT_EQ(applied["added"][0]["lastName"], "Meier");
  EXPECT_EQ(state()["staff"].size(), 2u);
  // Applying again adds nothing: everyone is unchanged.
  applied = json::parse(post("/api/desk/staff/import", body(csv, true)).body);
  EXPECT_EQ(applied["added"].size(), 0u);
  EXPECT_EQ(applied["unchanged"].size(), 2u);

  EXPECT_EQ(post("/api/desk/staff/import", body("surname\nX\n", false)).status, 400);
  EXPECT_EQ(post("/api/desk/staff/import", R"({"csv": 5})").status, 400);
  EXPECT_EQ(send("POST", "/api/desk/staff/import", "first_name,last_name\n", "text/csv").status, 415);

  // A directory of 5,000 fits the upload limit, which other requests keep small.
  std::string big = "first_name,last_name\r\n";
  for (int i = 0; i < 5000; ++i) big += "Person" + std::to_string(i) + ",Surname" + std::to_string(i) + "\r\n";
  RawReply large = post("/api/desk/staff/import", body(big, false));
  ASSERT_EQ(large.status, 200);
  EXPECT_EQ(json::parse(large.body)["added"].size(), 5000u);
  EXPECT_EQ(post("/api/desk/notifications", body(big, false)).status, 413);

  RawReply exported = get("/api/desk/staff.csv");
  EXPECT_EQ(exported.status, 200);
  EXPECT_EQ(exported.body, "\xEF\xBB\xBF" "first_name,last_name,email,alert_url\r\nHans,Meier,,\r\nAnna,Schmidt,,\r\n");  // by last name
  EXPECT_NE(exported.headers.find("Content-Type: text/csv; charset=utf-8"), std::string::npos);
  EXPECT_NE(exported.headers.find("attachment; filename=\"staff.csv\""), std::string::npos);
}

TEST_F(FrontDeskApiTest, VisitorLogFiltersExportsAndForgetsOnTime) {
  std::int64_t ann = addStaffMember("Ann", "Lee");
  std::int64_t bob = addStaffMember("Bob", "Ray");
  std::int64_t gone = addStaffMember("Cy", "Gone");  // removed, without guests
  ASSERT_EQ(send("DELETE", "/api/desk/staff/" + std::to_string(gone)).status, 200);
  const std::int64_t day = 86400000LL;
  std::int64_t start = fakeNow;
  std::int64_t old = announce(ann, "=Old Guest", "");  // acknowledged by the host 40 days ago
  fakeNow += 60000;
  get(std::string("/api/reception/getNotification?key=") + accessKey + "&fn=Ann&ln=Lee");
  get(std::string("/api/reception/archiveNotification?key=") + accessKey + "&id=" + std::to_string(old));
  fakeNow += 10 * day;
  adminCookie_.clear();  // a session ends after 12 idle hours
  std::int64_t withdrawn = announce(bob, "Grace Hopper", "Lobby");
  post("/api/desk/notifications/" + std::to_string(withdrawn) + "/archive", "{}");
  fakeNow += 30 * day;
  adminCookie_.clear();  // a session ends after 12 idle hours
  std::int64_t waiting = announce(bob, "Alan Turing", "");

  json all = json::parse(get("/api/desk/visitors").body)["visitors"];
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0]["outcome"], "acknowledged");
  EXPECT_EQ(all[0]["acknowledgedAt"], start + 60000);
  EXPECT_EQ(all[0]["withdrawnAt"], nullptr);
  EXPECT_EQ(all[1]["outcome"], "withdrawn");
  EXPECT_EQ(all[2]["outcome"], "waiting");
  json ranged = json::parse(get("/api/desk/visitors?from=" + std::to_string(start + day) +
                                "&to=" + std::to_string(start + 20 * day)).body)["visitors"];
  ASSERT_EQ(ranged.size(), 1u);
  EXPECT_EQ(ranged[0]["guestName"], "Grace Hopper");
  json hosted = json::parse(get("/api/desk/visitors?host=Bob%20Ray").body)["visitors"];
  EXPECT_EQ(hosted.size(), 2u);
  EXPECT_EQ(get("/api/desk/visitors?from=5&to=4").status, 400);
  EXPECT_EQ(get("/api/desk/visitors?to=soon").status, 400);

  RawReply csv = get("/api/desk/visitors.csv?host=Ann+Lee");
  EXPECT_EQ(csv.body,
            "\xEF\xBB\xBF" "guest,note,host,arrived,delivered,acknowledged,withdrawn_or_reassigned,outcome,company,"
            "check_in_method,signed_out\r\n"
            "'=Old Guest,,Ann Lee,2026-01-02T09:30:05+00:00,2026-01-02T09:31:05+00:00,2026-01-02T09:31:05+00:00,,"
            "acknowledged,,desk,\r\n");

  // Retention of 30 days: the guest finished 40 days ago goes; the one
  // withdrawn exactly 30 days ago and the waiting one stay.
  ASSERT_EQ(staffRows(), 3);
  applyRetention(30);
  EXPECT_EQ(staffRows(), 2) << "the member removed 40 days ago goes; hosts of kept guests stay";
  json kept = json::parse(get("/api/desk/visitors").body)["visitors"];
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0]["id"], withdrawn);
  EXPECT_EQ(kept[1]["id"], waiting);
  fakeNow += 400 * day;
  adminCookie_.clear();  // a session ends after 12 idle hours
  applyRetention(0);
  EXPECT_EQ(json::parse(get("/api/desk/visitors").body)["visitors"].size(), 2u) << "0 keeps records forever";
  applyRetention(1);
  kept = json::parse(get("/api/desk/visitors").body)["visitors"];
  ASSERT_EQ(kept.size(), 1u) << "a waiting guest is never deleted";
  EXPECT_EQ(kept[0]["id"], waiting);
}

}  // namespace

// The board's answer does not grow with the day: the waiting guests and the
// last 200 handled, the rest a page at a time in the visitor log; a
// desk-role account sees contacts only masked; and one account's writes are
// limited (5 a second, bursts of 30) without holding up another's.
TEST_F(FrontDeskApiTest, TheBoardIsBoundedContactsMaskedAndWritesLimitedPerAccount) {
  std::int64_t host = addStaffMember("Anna", "Host");
  ASSERT_EQ(send("PUT", "/api/desk/staff/" + std::to_string(host),
                 json{{"email", "anna@example.com"}, {"alertUrl", "https://user:pw@push.example.com/t?token=s3cret"}}.dump())
                .status, 200);
  {
    WriteTransaction transaction;
    ASSERT_TRUE(transaction.begun());
    ASSERT_TRUE(transaction
                    .prepare("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 120000) "
                             "INSERT INTO notification (staff_id, headline, detail, arrived_at, archived_at, archived_by) "
                             "SELECT ?1, 'Guest ' || i, 'Room 2', ?2 - 7200000 + i, ?2 - 3600000 + i, 'host' FROM n")
                    .bind(1, host)
                    .bind(2, fakeNow.load())
                    .run());
    ASSERT_EQ(transaction.commit(), Outcome::ok);
  }
  for (int i = 0; i < 3; ++i) announce(host, "Waiting " + std::to_string(i), "");
  RawReply board = get("/api/desk/state");
  ASSERT_EQ(board.status, 200);
  json answer = json::parse(board.body);
  std::printf("state with 120,000 handled guests: %zu bytes\n", board.body.size());
  EXPECT_EQ(answer["notifications"].size(), 203u);
  EXPECT_TRUE(answer["moreHandled"].get<bool>());
  EXPECT_LT(board.body.size(), 200u * 1024);
  EXPECT_EQ(answer["notifications"][0]["guestName"], "Guest 119801") << "the most recently handled, oldest first";
  EXPECT_EQ(answer["staff"][0]["alertUrl"], "https://user:pw@push.example.com/t?token=s3cret") << "an admin sees it whole";

  json first = json::parse(get("/api/desk/visitors").body);
  ASSERT_EQ(first["visitors"].size(), 2000u);
  ASSERT_TRUE(first["next"].is_string());
  json second = json::parse(get("/api/desk/visitors?after=" + first["next"].get<std::string>()).body);
  ASSERT_EQ(second["visitors"].size(), 2000u);
  EXPECT_EQ(second["visitors"][0]["guestName"], "Guest 2001");
  EXPECT_EQ(get("/api/desk/visitors?after=12.x").status, 400);

  addDeskAccount("front", "desk", "front-desk-1");
  std::string front = deskLogin(host_, port_, "front", "front-desk-1");
  ASSERT_FALSE(front.empty());
  RawReply masked = send11(host_, port_, "GET", "/api/desk/state", "", "", front);
  ASSERT_EQ(masked.status, 200);
  json staff = json::parse(masked.body)["staff"][0];
  EXPECT_EQ(staff["alertUrl"], "https://push.example.com");
  EXPECT_EQ(staff["email"], "…@example.com");
  for (const char* secret : {"pw@", "s3cret", "anna@"}) EXPECT_EQ(masked.body.find(secret), std::string::npos) << secret;

  settings_.deskWritesPerSecond = 5;
  configureService(settings_);
  std::int64_t other = addStaffMember("Ben", "Host");
  auto announceAs = [&](const std::string& cookie) {
    return send11(host_, port_, "POST", "/api/desk/notifications",
                  json{{"staffId", other}, {"guestName", "Ada Lovelace"}, {"note", ""}}.dump(), "application/json", cookie);
  };
  for (int i = 0; i < 30; ++i) ASSERT_EQ(announceAs(front).status, 201) << "the burst, write " << i;
  RawReply limited = announceAs(front);
  EXPECT_EQ(limited.status, 429);
  EXPECT_EQ(header(limited, "Retry-After"), "1");
  EXPECT_EQ(announceAs(adminCookie_).status, 201) << "another account is not held up";
  fakeNow += 1000;
  for (int i = 0; i < 5; ++i) EXPECT_EQ(announceAs(front).status, 201) << "a second's worth, write " << i;
  EXPECT_EQ(announceAs(front).status, 429);
}
