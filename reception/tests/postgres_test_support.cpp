#include "postgres_test_support.h"

#include <libpq-fe.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

namespace {

std::string runOn(PGconn* connection, const std::string& sql, std::string* value) {
  if (PQstatus(connection) != CONNECTION_OK) return PQerrorMessage(connection);
  PGresult* result = PQexec(connection, sql.c_str());
  ExecStatusType status = PQresultStatus(result);
  std::string error;
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) error = PQresultErrorMessage(result);
  int rows = status == PGRES_TUPLES_OK ? PQntuples(result) : 0;
  if (value != nullptr && rows > 0) *value = PQgetisnull(result, rows - 1, 0) ? "NULL" : PQgetvalue(result, rows - 1, 0);
  PQclear(result);
  return error;
}

std::string run(const std::string& uri, const std::string& sql) {
  PGconn* connection = PQconnectdb(uri.c_str());
  std::string error = runOn(connection, sql, nullptr);
  PQfinish(connection);
  return error;
}

}  // namespace

std::string testPostgresServer() {
  const char* uri = std::getenv("VESTIBRA_TEST_POSTGRES");
  return uri != nullptr ? uri : "";
}

std::string withDatabaseName(const std::string& uri, const std::string& name) {
  std::size_t slash = uri.find('/', uri.find("://") + 3);
  return uri.substr(0, slash) + "/" + name;
}

std::string testDatabaseIn(const std::filesystem::path& folder, TestPostgresDatabase& postgres) {
  if (!testsOnPostgres()) return (folder / "reception.db").string();
  std::string error;
  return postgres.create(error);
}

std::string TestPostgresDatabase::create(std::string& error) {
  static std::atomic<int> made{0};
  name_ = "vestibra_test_" + std::to_string(::getpid()) + "_" + std::to_string(++made);
  error = run(testPostgresServer(), "CREATE DATABASE " + name_);
  if (!error.empty()) {
    name_.clear();
    return "";
  }
  uri_ = withDatabaseName(testPostgresServer(), name_);
  return uri_;
}

void TestPostgresDatabase::drop() {
  if (outside_ != nullptr) PQfinish(outside_);
  outside_ = nullptr;
  if (name_.empty()) return;
  run(testPostgresServer(), "DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
  name_.clear();
  uri_.clear();
}

std::string TestPostgresDatabase::execute(const std::string& sql, std::string* value) {
  if (outside_ == nullptr) outside_ = PQconnectdb(uri_.c_str());
  return runOn(outside_, sql, value);
}
