// The staff directory's sync: the pure diff as tables, the options, and the
// store's one transaction on a real database file.
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "commands/config_file.h"
#include "directory/directory_diff.h"
#include "directory/directory_sync.h"
#include "directory/ldap_reader.h"
#include "reception_test_support.h"
#include "store/schema.h"
#include "store/staff.h"
#include "store/clock.h"
#include "store/directory_staff.h"
#include "store/audit.h"
#include "reception_client.h"

namespace {

DirectoryEntry person(const std::string& identity, const std::string& first, const std::string& last,
                      std::optional<std::string> email = std::nullopt) {
  return DirectoryEntry{"uid=" + identity + ",ou=people", identity, first, last, std::move(email), ""};
}

DirectoryStaff row(std::int64_t id, const std::string& identity, const std::string& first, const std::string& last,
                   bool active = true, std::optional<std::string> email = std::nullopt) {
  return DirectoryStaff{id, identity, first, last, std::move(email), active};
}

DirectoryOptions directoryAt(const std::string& url, const std::string& base = "", const std::string& tls = "") {
  DirectoryOptions options;
  options.url = url;
  options.base = base;
  options.tls = tls;
  return options;
}

std::string rejectedDns(const DirectoryPlan& plan) {
  std::string dns;
  for (const RejectedEntry& entry : plan.rejected) dns += (dns.empty() ? "" : " ") + entry.dn.substr(4, entry.dn.find(',') - 4);
  return dns;
}

}  // namespace

TEST(DirectoryDiff, SortsEntriesAgainstTheStaffRows) {
  struct Case {
    const char* name;
    std::vector<DirectoryEntry> entries;
    std::vector<DirectoryStaff> rows;
    std::set<std::string> handNames;
    const char* summary;
    const char* rejected;  // identities of the rejected entries, in order
  };
  const std::vector<Case> cases = {
      {"first sync", {person("a", "Ann", "Lee"), person("b", "Bob", "Ray")}, {}, {}, "added 2, updated 0, deactivated 0, unchanged 0, rejected 0", ""},
      {"same again", {person("a", "Ann", "Lee")}, {row(1, "a", "Ann", "Lee")}, {}, "added 0, updated 0, deactivated 0, unchanged 1, rejected 0", ""},
      {"rename, new mail, gone",
       {person("a", "Ann", "Smith"), person("b", "Bob", "Ray", "bob@example.org")},
       {row(1, "a", "Ann", "Lee"), row(2, "b", "Bob", "Ray"), row(3, "c", "Cy", "Fox")}, {},
       "added 0, updated 2, deactivated 1, unchanged 0, rejected 0", ""},
      {"back after leaving, and still gone", {person("a", "Ann", "Lee")}, {row(1, "a", "Ann", "Lee", false), row(2, "c", "Cy", "Fox", false)}, {},
       "added 0, updated 1, deactivated 0, unchanged 0, rejected 0", ""},
      {"name rules, as the staff form's", {person("a", "", "Lee"), person("b", "Bob", "Ray,Jr"), person("c", "Cy=Jo", "Fox")}, {}, {},
       "added 0, updated 0, deactivated 0, unchanged 0, rejected 3", "a b c"},
      {"the first two words tell staff apart", {person("m", "Mary", "Ann Jones"), person("v", "Ludwig", "van Beethoven")},
       {}, {"Mary Ann Smith"}, "added 1, updated 0, deactivated 0, unchanged 0, rejected 1", "m"},
      {"a rejected rename keeps the row as it is", {person("a", "Ann", "Lee|x")}, {row(1, "a", "Ann", "Lee")}, {},
       "added 0, updated 0, deactivated 0, unchanged 0, rejected 1", "a"},
      {"staff added by hand keep their names", {person("a", "Ann", "Lee")}, {}, {"Ann Lee"},
       "added 0, updated 0, deactivated 0, unchanged 0, rejected 1", "a"},
      {"two people, one name: the second is rejected", {person("a", "Ann", "Lee"), person("b", "Ann", "Lee")}, {}, {},
       "added 1, updated 0, deactivated 0, unchanged 0, rejected 1", "b"},
      {"a newcomer never takes the name of someone on the desk", {person("n", "Ann", "Lee"), person("a", "Ann", "Lee")},
       {row(1, "a", "Ann", "Lee")}, {}, "added 0, updated 0, deactivated 0, unchanged 1, rejected 1", "n"},
      {"two people swap names", {person("a", "Bob", "Ray"), person("b", "Ann", "Lee")},
       {row(1, "a", "Ann", "Lee"), row(2, "b", "Bob", "Ray")}, {}, "added 0, updated 2, deactivated 0, unchanged 0, rejected 0", ""},
      // b's row keeps "Bob Ray" as its entry is rejected, so c cannot have it.
      {"a rejected entry's row keeps its name from others", {person("c", "Bob", "Ray"), person("b", "Bob", "Ray=")},
       {row(2, "b", "Bob", "Ray")}, {}, "added 0, updated 0, deactivated 0, unchanged 0, rejected 2", "b c"},
      {"one identity twice", {person("a", "Ann", "Lee"), person("a", "Ann", "Lea")}, {}, {},
       "added 1, updated 0, deactivated 0, unchanged 0, rejected 1", "a"},
      // c is rejected, so its row keeps "Dan Lee", which d had taken; d's row
      // then keeps "Fay Oak", which e had taken: rejections in turn, in one pass.
      {"a rejection takes back names claimed before it", {person("e", "Fay", "Oak"), person("d", "Dan", "Lee"), person("c", "Bob", "Ray")},
       {row(4, "d", "Fay", "Oak"), row(3, "c", "Dan", "Lee")}, {"Bob Ray"},
       "added 0, updated 0, deactivated 0, unchanged 0, rejected 3", "c d e"},
  };
  for (const Case& test : cases) {
    DirectoryPlan plan = planDirectorySync(test.entries, test.rows, test.handNames);
    EXPECT_EQ(planSummary(plan), test.summary) << test.name;
    EXPECT_EQ(rejectedDns(plan), test.rejected) << test.name;
  }
  // What the rows become: the same ids, reactivated or not.
  DirectoryPlan back = planDirectorySync({person("a", "Ann", "Lee", "ann@example.org")}, {row(7, "a", "Ann", "Lee", false), row(8, "c", "Cy", "Fox")}, {});
  ASSERT_EQ(back.updated.size(), 1u);
  EXPECT_EQ(back.updated[0].id, 7);
  EXPECT_TRUE(back.updated[0].reactivated);
  ASSERT_EQ(back.deactivated.size(), 1u);
  EXPECT_EQ(back.deactivated[0].id, 8);
  EXPECT_EQ(back.deactivated[0].displayName, "Cy Fox");
}

TEST(DirectoryDiff, SafetyStopIdentityAndMail) {
  std::vector<DirectoryStaff> four = {row(1, "a", "A", "A"), row(2, "b", "B", "B"), row(3, "c", "C", "C"), row(4, "d", "D", "D"),
                                      row(5, "e", "E", "E", false)};
  EXPECT_FALSE(exceedsSafetyStop(planDirectorySync({person("a", "A", "A"), person("b", "B", "B")}, four, {})))
      << "half may go";
  EXPECT_TRUE(exceedsSafetyStop(planDirectorySync({person("a", "A", "A")}, four, {})));
  EXPECT_TRUE(exceedsSafetyStop(planDirectorySync({}, four, {})));
  EXPECT_FALSE(exceedsSafetyStop(planDirectorySync({}, {}, {}))) << "nothing to lose";

  EXPECT_EQ(entryIdentity("5c4e-11", "\x01\xab", "uid=x"), "5c4e-11");
  EXPECT_EQ(entryIdentity("", std::string("\x01\xab\x00", 3), "uid=x"), "01ab00");
  EXPECT_EQ(entryIdentity("", "", "uid=x"), "uid=x");

  EXPECT_EQ(usableEmail("ann.lee@example.org"), "ann.lee@example.org");
  for (const char* bad : {"", "ann", "@example.org", "ann@", "a@b@c", "ann lee@example.org", "a@b\r\nBcc: x@y", "<a@b>"}) {
    EXPECT_EQ(usableEmail(bad), std::nullopt) << bad;
  }
}

TEST(DirectoryOptions, ParsedFromTheCommandLineAndTheConfigFile) {
  ReceptionOptions options;
  ASSERT_EQ(applyConfigText("ldap-url = ldaps://dc1.example.org:636\nldap-base = dc=example,dc=org\n"
                            "ldap-sync-minutes = 15\nldap-filter = (sn=*)\n",
                            "reception.conf", options),
            "");
  ASSERT_EQ(parseCommandLine({"--ldap-url", "ldap://127.0.0.1:20389", "--ldap-tls=none"}, options), "");
  EXPECT_EQ(options.directory.url, "ldap://127.0.0.1:20389") << "the command line wins";
  EXPECT_EQ(options.directory.base, "dc=example,dc=org");
  EXPECT_EQ(options.directory.syncMinutes, 15);
  EXPECT_FALSE(usesStartTls(options.directory));
  EXPECT_EQ(checkDirectoryOptions(options.directory), "");
  EXPECT_TRUE(usesStartTls(directoryAt("ldap://h")));
  EXPECT_FALSE(usesStartTls(directoryAt("ldaps://h")));
  EXPECT_EQ(ReceptionOptions{}.directory.filter, "(&(objectClass=person)(givenName=*)(sn=*))");

  for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
           {"--ldap-url", "http://h"}, {"--ldap-url", "ldap://"}, {"--ldap-url", "ldap://h:99999"},
           {"--ldap-url", "ldap://h/dc=x?cn"}, {"--ldap-tls", "ssl"}, {"--ldap-sync-minutes", "-1"},
           {"--ldap-sync-minutes", "10081"}, {"--ldap-filter", "sn=*"}, {"--ldap-base="}}) {
    ReceptionOptions rejected;
    EXPECT_NE(parseCommandLine(bad, rejected), "") << bad[0] << " " << (bad.size() > 1 ? bad[1] : "");
  }
  DirectoryOptions half = directoryAt("ldap://h", "dc=x");
  half.bindDn = "cn=reader";
  EXPECT_NE(checkDirectoryOptions(half), "") << "a bind DN without its password file";
  EXPECT_NE(checkDirectoryOptions(directoryAt("ldaps://h", "dc=x", "starttls")), "");
  EXPECT_NE(checkDirectoryOptions(directoryAt("ldap://h")), "") << "no base";
}

// Passwords in clear to another machine are refused at start, for the
// directory and the mail server alike, unless explicitly allowed.
TEST(PlaintextPasswords, RefusedAtStartUnlessAllowedOrOnLoopback) {
  const std::vector<std::string> ldap = {"--ldap-base", "dc=x", "--ldap-bind-dn", "cn=reader",
                                         "--ldap-bind-password-file", "reader.password"};
  const std::vector<std::string> smtp = {"--smtp-from", "desk@example.org", "--smtp-user", "desk",
                                         "--smtp-password-file", "smtp.password"};
  auto with = [](std::vector<std::string> base, std::initializer_list<std::string> more) {
    base.insert(base.end(), more);
    return base;
  };
  struct Case {
    std::vector<std::string> arguments;
    const char* refusal;  // part of the message, or "" when accepted
  };
  const std::vector<Case> cases = {
      {with(ldap, {"--ldap-url", "ldap://dc1.example.org", "--ldap-tls", "none"}), "bind password in clear to dc1.example.org"},
      {with(ldap, {"--ldap-url", "ldap://10.0.0.5:389", "--ldap-tls", "none", "--ldap-allow-plaintext"}), ""},
      {with(ldap, {"--ldap-url", "ldap://dc1.example.org", "--ldap-allow-plaintext"}), ""},
      {with(ldap, {"--ldap-url", "ldap://127.0.0.2:20389", "--ldap-tls", "none"}), ""},
      {with(ldap, {"--ldap-url", "ldap://[::1]:389", "--ldap-tls", "none"}), ""},
      {with(ldap, {"--ldap-url", "ldap://localhost", "--ldap-tls", "none"}), ""},
      {with(ldap, {"--ldap-url", "ldap://127.example.org", "--ldap-tls", "none"}), "in clear to 127.example.org"},
      {with(ldap, {"--ldap-url", "ldap://dc1.example.org"}), ""},
      {with(ldap, {"--ldap-url", "ldaps://dc1.example.org"}), ""},
      {{"--ldap-url", "ldap://dc1.example.org", "--ldap-base", "dc=x", "--ldap-tls", "none"}, ""},  // anonymous
      {with(smtp, {"--smtp-url", "smtp://mail.example.org:25", "--smtp-tls", "none"}), "SMTP password in clear to mail.example.org"},
      {with(smtp, {"--smtp-url", "smtp://mail.example.org:25", "--smtp-tls", "none", "--smtp-allow-plaintext"}), ""},
      {with(smtp, {"--smtp-url", "smtp://127.0.0.1:2525", "--smtp-tls", "none"}), ""},
      {with(smtp, {"--smtp-url", "smtp://mail.example.org"}), ""},
      {with(smtp, {"--smtp-url", "smtps://mail.example.org", "--smtp-tls", "none"}), ""},
      {{"--smtp-url", "smtp://mail.example.org", "--smtp-tls", "none", "--smtp-from", "desk@example.org"}, ""},
  };
  for (const Case& test : cases) {
    ReceptionOptions options;
    std::string error = parseCommandLine(test.arguments, options);
    if (error.empty() && !options.directory.url.empty()) error = checkDirectoryOptions(options.directory);
    std::string shown = ::testing::PrintToString(test.arguments);
    if (*test.refusal == '\0') {
      EXPECT_EQ(error, "") << shown;
    } else {
      EXPECT_NE(error.find(test.refusal), std::string::npos) << shown << ": " << error;
    }
  }
  ReceptionOptions configured;
  ASSERT_EQ(applyConfigText("ldap-allow-plaintext\nsmtp-allow-plaintext\nldap-max-entries = 500\n", "r.conf", configured), "");
  EXPECT_TRUE(configured.directory.allowPlaintext);
  EXPECT_TRUE(configured.alerts.smtpAllowPlaintext);
  EXPECT_EQ(configured.directory.maxEntries, 500);
  for (const char* bad : {"0", "x", "10000001"}) {
    ReceptionOptions rejected;
    EXPECT_NE(parseCommandLine({"--ldap-max-entries", bad}, rejected), "") << bad;
  }
}

class DirectoryStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(openStorage(path()), ""); }
  void TearDown() override { closeStorage(); }
  std::string path() const { return (directory_.path / "reception.db").string(); }

  DirectoryApply sync(const std::vector<DirectoryEntry>& entries, bool force = false, bool dryRun = false) {
    plan_ = DirectoryPlan{};
    return applyDirectorySync(entries, dryRun, force, plan_);
  }
  std::map<std::string, std::int64_t> active() {
    std::vector<StaffRow> rows;
    EXPECT_EQ(activeStaff(rows), Outcome::ok);
    std::map<std::string, std::int64_t> ids;
    for (const StaffRow& staff : rows) ids[staff.displayName] = staff.id;
    return ids;
  }

  TemporaryDirectory directory_;
  DirectoryPlan plan_;
};

TEST_F(DirectoryStoreTest, KeepsIdsAcrossRenamesAndReturnsAndLeavesHandAddedStaffAlone) {
  StaffRow hand;
  ASSERT_EQ(addStaff("Hana", "Kato", hand), Outcome::ok);
  std::vector<DirectoryEntry> people = {person("a", "Ann", "Lee", "ann@example.org"), person("b", "Bob", "Ray"),
                                        person("c", "Cy", "Fox"), person("h", "Hana", "Kato")};
  ASSERT_EQ(sync(people, false, true), DirectoryApply::previewed);
  EXPECT_EQ(active().size(), 1u) << "a dry run writes nothing";
  ASSERT_EQ(sync(people), DirectoryApply::applied);
  EXPECT_EQ(planSummary(plan_), "added 3, updated 0, deactivated 0, unchanged 0, rejected 1");
  std::map<std::string, std::int64_t> first = active();
  ASSERT_EQ(first.size(), 4u);
  EXPECT_EQ(first["Hana Kato"], hand.id);

  // Cy leaves with a guest waiting; Ann and Bob swap names.
  NotificationRow guest;
  ASSERT_EQ(addNotification(first["Cy Fox"], "Ada", "", 50, guest), Outcome::ok);
  ASSERT_EQ(sync({person("a", "Bob", "Ray"), person("b", "Ann", "Lee")}), DirectoryApply::applied);
  EXPECT_EQ(planSummary(plan_), "added 0, updated 2, deactivated 1, unchanged 0, rejected 0");
  std::map<std::string, std::int64_t> second = active();
  EXPECT_EQ(second, (std::map<std::string, std::int64_t>{{"Bob Ray", first["Ann Lee"]}, {"Ann Lee", first["Bob Ray"]},
                                                         {"Hana Kato", hand.id}}));
  std::vector<NotificationRow> waiting;
  ASSERT_EQ(deskNotifications(0, waiting), Outcome::ok);
  ASSERT_EQ(waiting.size(), 1u) << "the guest still waits";
  EXPECT_EQ(waiting[0].hostName, "Cy Fox");

  // Cy comes back: the same id; everyone else would go, which the safety stop refuses.
  ASSERT_EQ(sync({person("c", "Cy", "Fox")}), DirectoryApply::safetyStop);
  EXPECT_EQ(active(), second) << "nothing changed";
  ASSERT_EQ(sync({person("c", "Cy", "Fox")}, true), DirectoryApply::applied);
  EXPECT_EQ(planSummary(plan_), "added 0, updated 1, deactivated 2, unchanged 0, rejected 0");
  EXPECT_EQ(active(), (std::map<std::string, std::int64_t>{{"Cy Fox", first["Cy Fox"]}, {"Hana Kato", hand.id}}));
}

TEST(DirectoryStoreSchema, AddsItsColumnsOnceBesideAnEmailColumnAddedElsewhere) {
  TemporaryDirectory directory;
  std::string path = (directory.path / "reception.db").string();
  sqlite3* file = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &file), SQLITE_OK);
  // A version 1 file where another change already added staff.email.
  ASSERT_EQ(sqlite3_exec(file, R"sql(
    CREATE TABLE staff (id INTEGER PRIMARY KEY, first_name TEXT NOT NULL, last_name TEXT NOT NULL,
      display_name TEXT NOT NULL, created_at INTEGER NOT NULL, removed_at INTEGER, last_poll_at INTEGER, email TEXT);
    CREATE TABLE notification (id INTEGER PRIMARY KEY AUTOINCREMENT, staff_id INTEGER NOT NULL REFERENCES staff(id),
      headline TEXT NOT NULL, detail TEXT NOT NULL, arrived_at INTEGER NOT NULL, delivered_at INTEGER,
      archived_at INTEGER, archived_by TEXT);
    PRAGMA user_version = 1;
    INSERT INTO staff VALUES (1, 'Ann', 'Lee', 'Ann Lee', 5, NULL, NULL, 'ann@example.org');
  )sql", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(file);
  for (int opening = 0; opening < 2; ++opening) {
    ASSERT_EQ(openStorage(path), "") << opening;
    DirectoryPlan plan;
    ASSERT_EQ(applyDirectorySync({person("b", "Bob", "Ray", "bob@example.org")}, false, false, plan), DirectoryApply::applied);
    EXPECT_EQ(planSummary(plan), opening == 0 ? "added 1, updated 0, deactivated 0, unchanged 0, rejected 0"
                                              : "added 0, updated 0, deactivated 0, unchanged 1, rejected 0");
    closeStorage();
  }
  ASSERT_EQ(sqlite3_open(path.c_str(), &file), SQLITE_OK);
  auto value = [&](const char* sql) {
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(file, sql, -1, &statement, nullptr);
    std::string text = sqlite3_step(statement) == SQLITE_ROW ? reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)) : "";
    sqlite3_finalize(statement);
    return text;
  };
  EXPECT_EQ(value("SELECT max(version) FROM schema_migrations"), std::to_string(serviceSchemaVersion()));
  EXPECT_EQ(value("SELECT group_concat(coalesce(email, '-') || ':' || coalesce(directory_id, 'hand'), ' ') FROM staff"),
            "ann@example.org:hand bob@example.org:b");
  sqlite3_close(file);
}

// A server that takes the connection and never answers: each step gives up
// within the read's time-out, with a reason, instead of hanging the sync.
TEST(DirectoryRead, GivesUpOnAServerThatNeverAnswers) {
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::mt19937 random(std::random_device{}());
  bool bound = false;
  for (int attempt = 0; attempt < 20 && !bound; ++attempt) {
    address.sin_port = htons(static_cast<std::uint16_t>(20000 + random() % 12000));
    bound = ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ASSERT_TRUE(bound && ::listen(listener, 4) == 0);
  std::string url = "ldap://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  for (bool startTls : {true, false}) {
    LdapSettings settings{url, startTls, "", "", "", "dc=example,dc=org", "(sn=*)", 1};
    std::vector<DirectoryEntry> entries;
    EXPECT_NE(readDirectory(settings, entries), "") << startTls;
    EXPECT_TRUE(entries.empty());
  }
  ::close(listener);
}

namespace {

std::vector<DirectoryEntry> people(const char* prefix, int count) {
  std::vector<DirectoryEntry> entries;
  for (int at = 0; at < count; ++at) {
    std::string number = std::to_string(at);
    entries.push_back(person(prefix + number, std::string(prefix) + "x" + number, "Lee"));
  }
  return entries;
}

std::vector<DirectoryEntry> joined(std::vector<DirectoryEntry> one, const std::vector<DirectoryEntry>& other) {
  one.insert(one.end(), other.begin(), other.end());
  return one;
}

}  // namespace

// The stop compares with the staff of three syncs back, so a directory
// emptied in steps (stand-ins first, the real people after) stops too; and
// an entry with an oversized value is rejected as it is read, its row kept.
TEST_F(DirectoryStoreTest, SafetyStopLooksThreeSyncsBackAndOversizedEntriesAreRejected) {
  // As syncDirectory audits an applied sync; the next sync's writes come after it.
  auto syncAudited = [&](const std::vector<DirectoryEntry>& entries) {
    DirectoryApply applied = sync(entries);
    if (applied == DirectoryApply::applied) recordAudit("(test)", "", "directory-sync", planSummary(plan_));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return applied;
  };
  std::vector<DirectoryEntry> real = people("r", 40);
  std::vector<DirectoryEntry> standIns = people("s", 60);
  ASSERT_EQ(syncAudited(real), DirectoryApply::applied);
  ASSERT_EQ(syncAudited(joined(real, standIns)), DirectoryApply::applied);
  EXPECT_EQ(syncAudited(standIns), DirectoryApply::safetyStop) << "40 of 100 would go, but all 40 of three syncs back";
  EXPECT_EQ(plan_.baselineActive, 40u);
  EXPECT_EQ(plan_.baselineGone, 40u);
  EXPECT_EQ(active().size(), 100u) << "nothing changed";
  // Three syncs on, the stand-ins are part of what the stop compares with.
  ASSERT_EQ(syncAudited(joined(real, standIns)), DirectoryApply::applied);
  ASSERT_EQ(syncAudited(joined(real, standIns)), DirectoryApply::applied);
  EXPECT_EQ(syncAudited(standIns), DirectoryApply::applied);
  EXPECT_EQ(plan_.baselineActive, 100u);

  // A value past 1,024 bytes: rejected, its row (s0) kept as it is, not deactivated.
  DirectoryEntry oversized = entryFromValues(
      "uid=s0,ou=people", {{"entryUUID", {"s0"}}, {"givenName", {"sx0"}}, {"sn", {std::string(5000, 'y')}}, {"cn", {"x"}}});
  EXPECT_EQ(oversized.problem, "A value longer than 1024 bytes (sn).");
  EXPECT_EQ(oversized.lastName.size(), 1024u) << "only what is checked is kept";
  std::vector<DirectoryEntry> entries = standIns;
  entries[0] = oversized;
  ASSERT_EQ(syncAudited(entries), DirectoryApply::applied);
  EXPECT_EQ(planSummary(plan_), "added 0, updated 0, deactivated 0, unchanged 59, rejected 1");
  EXPECT_EQ(active().count("sx0 Lee"), 1u);
  DirectoryEntry longDn = entryFromValues(std::string(2000, 'd'), {{"givenName", {"A"}}, {"sn", {"B"}}});
  EXPECT_EQ(longDn.problem, "A value longer than 1024 bytes (the DN).");
}

// 16,000 entries whose names clash pairwise, and a sync of them while
// notifier polls and the desk's state are asked for: the plan is made in one
// pass on the read connection, and every answer comes within 1 s.
class DirectoryLoadTest : public InProcessServiceTest {};

TEST_F(DirectoryLoadTest, ClashingDirectorySyncsWhilePollsAndTheDeskAreAnswered) {
  startService();
  std::int64_t host = addStaffMember("Ann", "Lee");
  announce(host, "Ada Lovelace", "");
  std::vector<DirectoryEntry> entries;
  for (int at = 0; at < 8000; ++at) {
    std::string number = std::to_string(at);
    entries.push_back(person("p" + number, "Given" + number, "Clash"));
    entries.push_back(person("q" + number, "Given" + number, "Clash"));
  }
  entries.push_back(person("ann", "Ann", "Lee"));
  auto started = std::chrono::steady_clock::now();
  DirectoryPlan planned = planDirectorySync(entries, {}, {"Ann Lee"});
  auto planning = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
  EXPECT_EQ(planSummary(planned), "added 8000, updated 0, deactivated 0, unchanged 0, rejected 8001");
  RecordProperty("planning_ms", static_cast<int>(planning.count()));
  std::printf("planning 16,001 clashing entries: %lld ms\n", static_cast<long long>(planning.count()));

  std::atomic<bool> done{false};
  DirectoryApply applied = DirectoryApply::failed;
  std::thread syncing([&] {
    DirectoryPlan plan;
    applied = applyDirectorySync(entries, false, false, plan);
    done = true;
  });
  const std::string poll = std::string("/api/reception/getNotification?key=") + accessKey + "&fn=Ann&ln=Lee";
  std::chrono::milliseconds slowest{0};
  int answered = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while ((!done || answered < 4) && std::chrono::steady_clock::now() < deadline) {
    for (const std::string& target : {poll, std::string("/api/desk/state")}) {
      auto asked = std::chrono::steady_clock::now();
      RawReply reply = get(target);
      slowest = std::max(slowest, std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked));
      EXPECT_EQ(reply.status, 200) << target;
      ++answered;
    }
  }
  syncing.join();
  EXPECT_EQ(applied, DirectoryApply::applied);
  // Tens of milliseconds on a quiet machine; the freeze this guards against
  // held every answer for the whole planning (40 s for these entries). The
  // bound leaves room for a sanitizer build on a machine busy with other tests,
  // where the desk state's first read of the 8,001 members meets the poll's
  // memory and the host pages reading them again after the sync's commit.
  EXPECT_LT(slowest.count(), 5000) << answered << " answers";
  std::printf("during the sync: %d answers, the slowest in %lld ms\n", answered, static_cast<long long>(slowest.count()));
  EXPECT_EQ(state()["staff"].size(), 8001u);
}
