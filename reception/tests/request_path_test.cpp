// One request, one decision, one table of answers: the answers each audience
// gets for every store outcome, the Allow of a 405, a session looked up once
// per request, a change that commits only with its audit entry, and the reply
// page while another program holds the database.
#include <sqlite3.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "answer/answer_table.h"
#include "reception_test_support.h"
#include "store/accounts.h"
#include "store/database.h"

namespace {

using nlohmann::json;

std::string headerOf(const HttpResponse& response, const std::string& name) {
  for (const auto& [key, value] : response.headers) {
    if (key == name) return value;
  }
  return "";
}

TEST(AnswerTable, EveryOutcomeForEveryAudience) {
  struct Case {
    Outcome outcome;
    Failure otherwise;
    int status;
    bool retryAfter;
  };
  const std::vector<Case> cases = {
      {Outcome::busy, Failure::saveFailed, 503, true},   {Outcome::busy, Failure::readFailed, 503, true},
      {Outcome::failed, Failure::saveFailed, 500, false}, {Outcome::failed, Failure::readFailed, 500, false},
      {Outcome::conflict, Failure::saveFailed, 500, false}, {Outcome::notFound, Failure::readFailed, 500, false},
      {Outcome::unreachable, Failure::saveFailed, 503, true}, {Outcome::unreachable, Failure::readFailed, 503, true},
  };
  auto failureOf = [](const Case& test) {
    if (test.outcome == Outcome::busy) return Failure::busy;
    return test.outcome == Outcome::unreachable ? Failure::databaseUnreachable : test.otherwise;
  };
  EXPECT_EQ(std::string(answerRow(Failure::databaseUnreachable).message).find("busy"), std::string::npos)
      << "a database that is gone is not called busy";
  for (const Case& test : cases) {
    for (Audience audience : {Audience::desk, Audience::notifier, Audience::page}) {
      HttpResponse answer = outcomeAnswer(test.outcome, audience, test.otherwise);
      std::string name = std::to_string(static_cast<int>(test.outcome)) + "/" + std::to_string(static_cast<int>(audience));
      EXPECT_EQ(answer.status, test.status) << name;
      EXPECT_EQ(headerOf(answer, "Retry-After").empty(), !test.retryAfter) << name;
      EXPECT_EQ(headerOf(answer, "Cache-Control"), "no-store") << name;
      const char* message = answerRow(failureOf(test)).message;
      switch (audience) {
        case Audience::desk:
          EXPECT_EQ(json::parse(answer.body, nullptr, false), json({{"error", message}})) << name;
          break;
        case Audience::notifier: EXPECT_EQ(answer.body, "") << name << ": notifiers decode any body"; break;
        case Audience::page:
          EXPECT_EQ(answer.contentType, "text/html; charset=utf-8") << name;
          EXPECT_NE(answer.body.find(message), std::string::npos) << name;
          break;
      }
    }
  }
  // Busy is the same answer wherever it arises, Retry-After as the store says.
  EXPECT_EQ(headerOf(outcomeAnswer(Outcome::busy, Audience::page), "Retry-After"),
            std::to_string(databaseRetryAfterSeconds));
  for (Audience audience : {Audience::desk, Audience::notifier, Audience::page}) {
    HttpResponse refused = failureAnswer(Failure::methodNotAllowed, audience, "GET, HEAD");
    EXPECT_EQ(refused.status, 405);
    EXPECT_EQ(headerOf(refused, "Allow"), "GET, HEAD");
  }
}

class RequestPathTest : public InProcessServiceTest {
 protected:
  void SetUp() override {
    InProcessServiceTest::SetUp();
    startService();
  }
  void TearDown() override {
    if (outside_ != nullptr) sqlite3_close(outside_);
    InProcessServiceTest::TearDown();
  }
  // A second connection to the database, as another program would open it.
  // On PostgreSQL, holding the write as SQLite's BEGIN IMMEDIATE does is
  // holding the lock every instance's writes take.
  bool outside(const std::string& sql) {
    if (testsOnPostgres()) {
      std::string lock = "BEGIN; SELECT pg_advisory_xact_lock(" + std::to_string(postgresWriteLockKey) + ")";
      return postgres_.execute(sql == "BEGIN IMMEDIATE" ? lock : sql).empty();
    }
    if (outside_ == nullptr &&
        sqlite3_open((directory_.path / "reception.db").c_str(), &outside_) != SQLITE_OK) {
      return false;
    }
    return sqlite3_exec(outside_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  sqlite3* outside_ = nullptr;
};

TEST_F(RequestPathTest, EveryWrongMethodIsAnswered405WithAllowForItsAudience) {
  std::int64_t anna = addStaffMember("Anna", "Schmidt");
  struct Case {
    const char* method;
    std::string target;
    const char* allow;
    bool jsonError;
  };
  const std::vector<Case> cases = {
      {"GET", "/api/desk/staff", "POST", true},
      {"POST", "/api/desk/staff/" + std::to_string(anna), "DELETE, PUT", true},
      {"PUT", "/api/desk/login", "POST", true},
      {"POST", "/api/reception/listUsers?key=" + settings_.notifier.accessKey, "GET", false},
      {"DELETE", "/ack/" + std::string(43, 'A'), "GET, HEAD, POST", false},
      {"POST", "/", "GET, HEAD", false},
  };
  for (const Case& test : cases) {
    RawReply reply = send(test.method, test.target, "{}");
    EXPECT_EQ(reply.status, 405) << test.method << " " << test.target;
    EXPECT_EQ(header(reply, "Allow"), test.allow) << test.target;
    if (test.jsonError) {
      EXPECT_TRUE(json::parse(reply.body, nullptr, false).contains("error")) << test.target;
    }
  }
  RawReply notifier = send11(host_, port_, "POST", cases[3].target, "", "");
  EXPECT_EQ(notifier.body, "") << "notifiers decode any body";
}

TEST_F(RequestPathTest, ADeskWriteLooksItsSessionUpOnce) {
  std::int64_t anna = addStaffMember("Anna", "Schmidt");  // logs the test's admin in
  struct Case {
    const char* method;
    std::string target;
    std::string body;
  };
  for (const Case& test : std::vector<Case>{
           {"POST", "/api/desk/notifications", json{{"staffId", anna}, {"guestName", "Ada"}}.dump()},
           {"PUT", "/api/desk/staff/" + std::to_string(anna), json{{"email", "anna@example.com"}}.dump()},
           {"GET", "/api/desk/state", ""},
           {"GET", "/api/desk/staff", ""}}) {
    std::uint64_t before = sessionLookupCount();
    RawReply reply = send(test.method, test.target, test.body);
    EXPECT_LT(reply.status, test.target == "/api/desk/staff" ? 406 : 300) << test.target << " " << reply.body;
    EXPECT_EQ(sessionLookupCount() - before, 1u) << test.method << " " << test.target;
  }
}

TEST_F(RequestPathTest, AChangeCommitsOnlyWithItsAuditEntry) {
  std::int64_t anna = addStaffMember("Anna", "Schmidt");
  // Another program took the audit log away: no change may be saved unaudited.
  ASSERT_TRUE(outside("ALTER TABLE audit_log RENAME TO audit_log_away"));
  RawReply refused = post("/api/desk/notifications", json{{"staffId", anna}, {"guestName", "Ada"}}.dump());
  EXPECT_EQ(refused.status, 500) << refused.body;
  RawReply removed = send("DELETE", "/api/desk/staff/" + std::to_string(anna));
  EXPECT_EQ(removed.status, 500) << removed.body;
  ASSERT_TRUE(outside("ALTER TABLE audit_log_away RENAME TO audit_log"));
  json now = state();
  EXPECT_EQ(now["notifications"].size(), 0u) << "the guest went with its entry";
  EXPECT_EQ(now["staff"].size(), 1u);
  RawReply announced = post("/api/desk/notifications", json{{"staffId", anna}, {"guestName", "Ada"}}.dump());
  ASSERT_EQ(announced.status, 201);
  json audit = json::parse(get("/api/desk/audit").body);
  ASSERT_FALSE(audit["entries"].empty());
  EXPECT_EQ(audit["entries"][0]["action"], "announce");
  EXPECT_EQ(audit["entries"][0]["detail"],
            "guest #" + std::to_string(json::parse(announced.body)["id"].get<std::int64_t>()) + " Ada for Anna Schmidt");
}

TEST_F(RequestPathTest, TheReplyPageAnswersBusyWith503AndRetryAfter) {
  ASSERT_TRUE(outside("BEGIN IMMEDIATE"));
  RawReply busy = send11(host_, port_, "POST", "/ack/" + std::string(43, 'A'), "", "application/x-www-form-urlencoded");
  ASSERT_TRUE(outside("ROLLBACK"));
  EXPECT_EQ(busy.status, 503) << busy.body;
  EXPECT_EQ(header(busy, "Retry-After"), std::to_string(databaseRetryAfterSeconds));
  EXPECT_EQ(header(busy, "Content-Type"), "text/html; charset=utf-8");
  EXPECT_EQ(send11(host_, port_, "POST", "/ack/" + std::string(43, 'A'), "", "application/x-www-form-urlencoded").status,
            404)
      << "free again: an unknown link";
}

}  // namespace
