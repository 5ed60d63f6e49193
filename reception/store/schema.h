// Opening the service's database and bringing its schema up to date (the
// migrations of store/migrations.h): a file that is not this service's
// database, is damaged or comes from a newer version is refused before
// anything is written to it.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

// Opens (creating if needed) the database file, or the PostgreSQL database of
// a postgresql:// URI, and brings its schema up to date; "" or an error
// message naming the file. password: for PostgreSQL, "" lets libpq find one.
std::string openStorage(const std::string& path, const std::string& password = "");
// Saves the poll times not yet saved, then closes.
void closeStorage();

// The highest migration this service knows.
std::int64_t serviceSchemaVersion();
// The highest migration the open database records (schema_migrations, on
// either engine); false when it cannot be read.
class ReadSession;
bool storedSchemaVersion(ReadSession& session, std::int64_t& version);

// The service's own schema, as listSchema in schema.cpp writes each object
// of sqlite_master: made once in memory by applying the migrations, never
// read from a file.
std::vector<std::string> serviceSchema();

// "" when the database on connection is this service's, records exactly its
// migrations and has exactly their tables, indexes and triggers (no view, no
// other object); otherwise what differs. Reads only.
std::string schemaDifference(sqlite3* connection);
