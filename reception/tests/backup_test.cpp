// backup and restore: copies taken while a desk writes, checked and complete,
// and a restore that brings one copy back exactly, never under a running service.
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "commands/backup_command.h"
#include "store/database.h"
#include "reception_test_support.h"
#include "store/backup.h"
#include "store/schema.h"
#include "store/staff.h"
#include "test_support.h"

namespace {

using nlohmann::json;

// Guest id -> archived, as a copy of the database holds them.
struct StoredGuests {
  std::string integrity;
  std::map<std::int64_t, bool> guests;
};

StoredGuests readGuests(const std::filesystem::path& file) {
  StoredGuests stored;
  sqlite3* connection = nullptr;
  EXPECT_EQ(sqlite3_open_v2(file.c_str(), &connection, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(connection, "PRAGMA integrity_check", -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW) {
    stored.integrity = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
  }
  sqlite3_finalize(statement);
  if (sqlite3_prepare_v2(connection, "SELECT id, archived_at IS NOT NULL FROM notification", -1, &statement, nullptr) ==
      SQLITE_OK) {
    while (sqlite3_step(statement) == SQLITE_ROW) {
      stored.guests[sqlite3_column_int64(statement, 0)] = sqlite3_column_int(statement, 1) != 0;
    }
  }
  sqlite3_finalize(statement);
  sqlite3_close(connection);
  return stored;
}

RawReply postJson(const ServiceProcess& service, const std::string& target, const json& body) {
  return send11(service.host, service.port, "POST", target, body.dump(), "application/json", service.deskCookie);
}

int exitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

// The desk's writes as the desk answered them: guest id -> archived.
struct AnsweredWrites {
  std::mutex mutex;
  std::map<std::int64_t, bool> guests;
  std::map<std::int64_t, bool> snapshot() {
    std::lock_guard<std::mutex> lock(mutex);
    return guests;
  }
};

// Announces guests and archives every other one until stop (at most 20,000
// announcements, so that no more than 10,000 wait).
void writeAsADesk(const ServiceProcess& service, std::int64_t host, std::atomic<bool>& stop, AnsweredWrites& answered) {
  for (int i = 0; i < 20000 && !stop; ++i) {
    RawReply reply = postJson(service, "/api/desk/notifications", {{"staffId", host}, {"guestName", "Guest " + std::to_string(i)}});
    if (reply.status != 201) return;
    std::int64_t id = json::parse(reply.body)["id"];
    {
      std::lock_guard<std::mutex> lock(answered.mutex);
      answered.guests[id] = false;
    }
    if (i % 2 == 1) continue;
    if (postJson(service, "/api/desk/notifications/" + std::to_string(id) + "/archive", json::object()).status != 200) return;
    std::lock_guard<std::mutex> lock(answered.mutex);
    answered.guests[id] = true;
  }
}

// Every guest answered before the copy began is in it, archived if that was answered.
void expectHolds(const StoredGuests& copy, const std::map<std::int64_t, bool>& answered) {
  EXPECT_EQ(copy.integrity, "ok");
  for (const auto& [id, archived] : answered) {
    auto stored = copy.guests.find(id);
    ASSERT_NE(stored, copy.guests.end()) << "guest " << id << " is missing";
    if (archived) {
      EXPECT_TRUE(stored->second) << "guest " << id << " is not archived";
    }
  }
}

}  // namespace

TEST(BackupCommand, ArgumentsAndVerdicts) {
  BackupArguments parsed;
  EXPECT_EQ(parseBackupArguments({"copy.db", "--database", "live.db", "--config", "r.conf"}, parsed), "");
  EXPECT_EQ(parsed.file, "copy.db");
  EXPECT_EQ(parsed.database, "live.db");
  EXPECT_EQ(parsed.config, "r.conf");
  for (const std::vector<std::string>& wrong :
       {std::vector<std::string>{}, {"a.db", "b.db"}, {"a.db", "--database"}, {"a.db", "--force"}}) {
    BackupArguments ignored;
    EXPECT_NE(parseBackupArguments(wrong, ignored), "") << ::testing::PrintToString(wrong);
  }
  EXPECT_EQ(backupVerdict(databaseApplicationId, "ok"), "");
  EXPECT_EQ(backupVerdict(0, "ok"), "it is not a database of this service");
  EXPECT_EQ(backupVerdict(databaseApplicationId, "*** in database main ***"),
            "it is damaged (integrity_check: *** in database main ***)");
}

// Copies of a database the desk writes to all the while, then the first one restored.
TEST(BackupCommand, BackupUnderLoadAndRestore) {
  TemporaryDirectory directory;
  const std::vector<std::string> serviceArguments = {"--listen", "127.0.0.1:0", "--demo", "--max-waiting-per-host", "10000",
                                                      "--desk-writes-per-second", "1000"};
  ServiceProcess service;
  ASSERT_TRUE(service.start(serviceArguments, directory.path)) << service.output;
  RawReply state = send11(service.host, service.port, "GET", "/api/desk/state", "", "", service.deskCookie);
  std::int64_t host = json::parse(state.body)["staff"][0]["id"];

  AnsweredWrites answered;
  std::atomic<bool> stop{false};
  std::thread desk([&] { writeAsADesk(service, host, stop, answered); });
  std::vector<std::map<std::int64_t, bool>> before;
  std::string output;
  for (const char* copy : {"first.db", "second.db"}) {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    before.push_back(answered.snapshot());
    EXPECT_EQ(exitCode(runService({"backup", copy, "--database", "reception.db"}, directory.path, output)), 0) << output;
    EXPECT_EQ(output.rfind(std::string("backup ") + copy + ": ", 0), 0u) << output;
    EXPECT_NE(output.find("4 staff, "), std::string::npos) << output;
  }
  EXPECT_EQ(exitCode(runService({"restore", "first.db", "--database", "reception.db"}, directory.path, output)), 1);
  EXPECT_NE(output.find("is in use: stop the service"), std::string::npos) << output;
  stop = true;
  desk.join();
  EXPECT_EQ(exitCode(service.stop(SIGTERM)), 0);

  StoredGuests first = readGuests(directory.path / "first.db");
  StoredGuests second = readGuests(directory.path / "second.db");
  ASSERT_GT(before[0].size(), 5u) << "the desk wrote too little before the first backup";
  expectHolds(first, before[0]);
  expectHolds(second, before[1]);
  EXPECT_GT(second.guests.size(), first.guests.size());
  struct stat status {};
  ASSERT_EQ(::stat((directory.path / "first.db").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);

  StoredGuests live = readGuests(directory.path / "reception.db");
  EXPECT_EQ(exitCode(runService({"restore", "first.db", "--database", "reception.db"}, directory.path, output)), 0) << output;
  EXPECT_NE(output.find("kept as reception.db.before-restore"), std::string::npos) << output;
  EXPECT_EQ(readGuests(directory.path / "reception.db").guests, first.guests);
  EXPECT_EQ(readGuests(directory.path / "reception.db.before-restore").guests, live.guests);
  // The restored file is one the service runs on.
  ServiceProcess restarted;
  EXPECT_TRUE(restarted.start(serviceArguments, directory.path)) << restarted.output;
}

// A file that is not this service's database is neither backed up nor
// restored, and nothing is replaced.
TEST(BackupCommand, ForeignFilesAreRefused) {
  TemporaryDirectory directory;
  writeFileBytes(directory.path / "not-a-database", std::string(4096, 'x'));
  writeFileBytes(directory.path / "reception.db", "kept as it is");
  std::string output;
  EXPECT_EQ(exitCode(runService({"restore", "not-a-database"}, directory.path, output)), 1);
  EXPECT_EQ(output, "vestibra-reception restore: not-a-database cannot be restored: file is not a database\n");
  EXPECT_EQ(readFileBytes(directory.path / "reception.db"), "kept as it is");
  // An earlier copy stays as it was when a new one fails.
  writeFileBytes(directory.path / "copy.db", "an earlier copy");
  EXPECT_EQ(exitCode(runService({"backup", "copy.db", "--database", "not-a-database"}, directory.path, output)), 1);
  EXPECT_EQ(output, "vestibra-reception backup: cannot copy not-a-database: file is not a database\n");
  EXPECT_EQ(readFileBytes(directory.path / "copy.db"), "an earlier copy");
  EXPECT_EQ(exitCode(runService({"backup", "reception.db", "--database", "reception.db"}, directory.path, output)), 1);
  EXPECT_EQ(output, "vestibra-reception backup: reception.db is the database itself\n");
  for (const auto& entry : std::filesystem::directory_iterator(directory.path)) {
    EXPECT_NE(entry.path().filename().string().rfind("copy.db.", 0), 0u) << entry.path() << " was left";
  }
  // A PostgreSQL database is the server's to copy: refused before anything is touched.
  for (const char* command : {"backup", "restore"}) {
    EXPECT_EQ(exitCode(runService({command, "copy.db", "--database", "postgresql://nobody@127.0.0.1:1/reception"},
                                  directory.path, output)), 2);
    EXPECT_NE(output.find(std::string(command) == "backup" ? "pg_dump" : "pg_restore"), std::string::npos) << output;
  }
  EXPECT_EQ(readFileBytes(directory.path / "copy.db"), "an earlier copy");
}

namespace {

void runSql(const std::filesystem::path& file, const std::string& sql) {
  sqlite3* connection = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &connection), SQLITE_OK);
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(connection, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "") << sql;
  sqlite3_free(error);
  sqlite3_close(connection);
}

std::string firstValue(const std::filesystem::path& file, const std::string& sql) {
  sqlite3* connection = nullptr;
  sqlite3_stmt* statement = nullptr;
  std::string value;
  if (sqlite3_open(file.c_str(), &connection) == SQLITE_OK &&
      sqlite3_prepare_v2(connection, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_text(statement, 0) != nullptr) {
    value = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
  }
  sqlite3_finalize(statement);
  sqlite3_close(connection);
  return value;
}

}  // namespace

// A copy is trusted for nothing: one with a trigger, a view, an index or a
// version of its own is refused before anything is replaced; a sound one
// comes back without any session (a kept or a later one), with the restore
// audited, and names of invalid UTF-8 read as valid text.
TEST(BackupCommand, CraftedCopiesAreRefusedAndRestoreEndsEverySession) {
  TemporaryDirectory directory;
  const std::filesystem::path sound = directory.path / "sound.db";
  ASSERT_EQ(openStorage(sound.string()), "");
  closeStorage();
  runSql(sound, "INSERT INTO desk_account (id, name, role, password_hash, created_at) VALUES (1, 'mallory', 'admin', 'x', 1);"
                "INSERT INTO desk_session VALUES ('kept-token-hash', 1, 1, 9999999999999);"
                "INSERT INTO staff (first_name, last_name, display_name, created_at) VALUES "
                "(CAST(X'8080' AS TEXT), 'Lee', CAST(X'80802E4C6565' AS TEXT), 1);");
  ASSERT_EQ(openStorage((directory.path / "reception.db").string()), "");
  closeStorage();
  runSql(directory.path / "reception.db", "INSERT INTO audit_log (at, account, address, action, detail) VALUES (1, 'a', '', 'live', '');");
  const std::string live = readFileBytes(directory.path / "reception.db");

  struct Crafted {
    const char* name;
    const char* sql;
    const char* refusal;
  };
  const std::vector<Crafted> crafted = {
      {"trigger", "CREATE TRIGGER keep AFTER DELETE ON desk_session BEGIN INSERT INTO desk_session VALUES "
                  "(old.token_hash, old.account_id, old.created_at, old.last_used_at); END;",
       "its schema is not this service's: trigger keep on desk_session: CREATE TRIGGER keep"},
      {"view", "DROP TABLE reply_token; CREATE VIEW reply_token AS SELECT 'h' AS hash, 1 AS notification_id, "
               "1 AS created_at, NULL AS used_at;",
       "its schema is not this service's: view reply_token on reply_token: CREATE VIEW reply_token"},
      {"index", "CREATE INDEX staff_spy ON staff(first_name);", "its schema is not this service's: index staff_spy"},
      {"changed table", "DROP INDEX alert_outbox_due; DROP TABLE alert_outbox; CREATE TABLE alert_outbox (id INTEGER PRIMARY KEY);",
       "its schema is not this service's: table alert_outbox on alert_outbox: CREATE TABLE alert_outbox (id INTEGER PRIMARY KEY)"},
      {"extra table", "CREATE TABLE notes (text TEXT);", "its schema is not this service's: table notes on notes"},
      {"newer version", "INSERT INTO schema_migrations (version, name, applied_at) VALUES (99, 'later', 1);",
       "the service would not start on it (it was written by a newer version of this service: its schema is at migration 99"},
      {"other migration", "UPDATE schema_migrations SET name = 'other' WHERE version = 1;",
       "its migrations are not this service's: 1 other"},
      {"not marked", "PRAGMA application_id = 7;", "it is not a database of this service"},
  };
  for (const Crafted& copy : crafted) {
    std::filesystem::path file = directory.path / (std::string(copy.name) + ".db");
    std::filesystem::copy_file(sound, file);
    runSql(file, copy.sql);
    std::string output;
    EXPECT_EQ(exitCode(runService({"restore", file.filename().string(), "--database", "reception.db"}, directory.path, output)), 1)
        << copy.name;
    EXPECT_NE(output.find(copy.refusal), std::string::npos) << copy.name << ": " << output;
    EXPECT_EQ(readFileBytes(directory.path / "reception.db"), live) << copy.name << ": nothing replaced";
  }

  std::string output;
  ASSERT_EQ(exitCode(runService({"restore", "sound.db", "--database", "reception.db"}, directory.path, output)), 0) << output;
  const std::filesystem::path restored = directory.path / "reception.db";
  EXPECT_EQ(firstValue(restored, "SELECT count(*) FROM desk_session"), "0") << "everyone signs in again";
  EXPECT_EQ(firstValue(restored, "SELECT account || ' ' || detail FROM audit_log WHERE action = 'restore'"),
            "(command line) from sound.db; every desk session ended");
  EXPECT_EQ(firstValue(restored, "SELECT count(*) FROM audit_log WHERE action = 'live'"), "0");
  for (const auto& entry : std::filesystem::directory_iterator(directory.path)) {
    EXPECT_EQ(entry.path().filename().string().find("restore-check"), std::string::npos) << entry.path() << " was left";
  }
  ASSERT_EQ(openStorage(restored.string()), "");
  std::vector<StaffRow> staff;
  EXPECT_EQ(activeStaff(staff), Outcome::ok);
  ASSERT_EQ(staff.size(), 1u);
  EXPECT_EQ(staff[0].displayName, "\uFFFD\uFFFD.Lee") << "invalid bytes are replaced where they are read";
  closeStorage();
}
