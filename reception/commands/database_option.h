// --database and --database-password-file: opening the storage the service
// and its commands use, a SQLite file or a PostgreSQL database.
#pragma once

#include <string>

// Reads the password file (PostgreSQL only; "" lets libpq find one) and
// opens the storage; "" or why not. The password is never printed.
std::string openDatabaseOption(const std::string& database, const std::string& passwordFile);

// The refusal of backup and restore on a PostgreSQL database, which the
// server's own tools copy; "" for a SQLite file.
std::string refuseServerBackup(const std::string& command, const std::string& database);
