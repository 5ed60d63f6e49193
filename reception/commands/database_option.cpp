#include "commands/database_option.h"

#include "config/secret_file.h"
#include "store/database_location.h"
#include "store/schema.h"

std::string openDatabaseOption(const std::string& database, const std::string& passwordFile) {
  std::string password;
  if (isPostgresLocation(database) && !passwordFile.empty()) {
    std::string error = readSecretFile(passwordFile, "database", password);
    if (!error.empty()) return error;
  }
  return openStorage(database, password);
}

std::string refuseServerBackup(const std::string& command, const std::string& database) {
  if (!isPostgresLocation(database)) return "";
  return command + " copies a SQLite database file; for a PostgreSQL database use the server's tools, e.g. " +
         (command == "backup" ? "pg_dump --format=custom --file=reception.dump \"$URI\""
                              : "pg_restore --clean --if-exists --dbname=\"$URI\" reception.dump") +
         " (see the README)";
}
