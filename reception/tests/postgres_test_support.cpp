#include "postgres_test_support.h"

#include <libpq-fe.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

namespace {

std::string run(const std::string& uri, const std::string& sql, std::string* value = nullptr) {
  PGconn* connection = PQconnectdb(uri.c_str());
  std::string error;
  if (PQstatus(connection) != CONNECTION_OK) {
    error = PQerrorMessage(connection);
  } else {
    PGresult* result = PQexec(connection, sql.c_str());
    ExecStatusType status = PQresultStatus(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) error = PQresultErrorMessage(result);
    if (value != nullptr && status == PGRES_TUPLES_OK && PQntuples(result) > 0) *value = PQgetvalue(result, 0, 0);
    PQclear(result);
  }
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
  if (name_.empty()) return;
  run(testPostgresServer(), "DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
  name_.clear();
  uri_.clear();
}

std::string TestPostgresDatabase::execute(const std::string& sql, std::string* value) const {
  return run(uri_, sql, value);
}
