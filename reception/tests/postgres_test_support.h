// The in-process service tests on PostgreSQL: when VESTIBRA_TEST_POSTGRES
// gives a server's URI (CTest's "postgresql" label starts one), each test
// runs on a database of its own, made for it and dropped after it.
#pragma once

#include <filesystem>
#include <string>

struct pg_conn;

// The server's URI, or "" to run on SQLite.
std::string testPostgresServer();
inline bool testsOnPostgres() { return !testPostgresServer().empty(); }

// A fresh database on the test server, dropped (with its connections) by drop().
class TestPostgresDatabase {
 public:
  // Its URI, or "" with error set when the server cannot be reached.
  std::string create(std::string& error);
  void drop();
  // Runs SQL on it on a connection of the test's own, kept open (a
  // transaction may span calls); "" or the error. value: the first column
  // of the last row, if any ("NULL" for a null).
  std::string execute(const std::string& sql, std::string* value = nullptr);
  const std::string& uri() const { return uri_; }

 private:
  pg_conn* outside_ = nullptr;
  std::string name_;
  std::string uri_;
};

// For a test that opens the store itself: a file in folder on SQLite, or a
// fresh database (postgres, dropped by the caller) on PostgreSQL; "" on error.
std::string testDatabaseIn(const std::filesystem::path& folder, TestPostgresDatabase& postgres);

// The URI of database name on the server of uri (postgresql://user@host:port/...).
std::string withDatabaseName(const std::string& uri, const std::string& name);

// For a test that reads or writes the SQLite file itself.
#define SKIP_ON_POSTGRES()                                                     \
  if (testsOnPostgres()) GTEST_SKIP() << "reads the SQLite file itself"
