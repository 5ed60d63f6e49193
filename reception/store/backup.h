// Online backup and restore of the service's database with SQLite's backup
// API: a copy is taken from a snapshot while the service keeps writing (WAL
// mode), checked, and only then put in place under its final name.
#pragma once

#include <cstdint>
#include <string>

struct DatabaseCounts {
  std::int64_t staff = 0;  // active members of staff
  std::int64_t guests = 0;
  std::int64_t accounts = 0;  // desk accounts
};

struct BackupResult {
  std::string error;  // "" when done
  std::uintmax_t bytes = 0;
  DatabaseCounts counts;
};

struct RestoreResult {
  std::string error;    // "" when done
  bool inUse = false;   // refused because another process holds the database
  DatabaseCounts counts;
  std::string previous;  // where the replaced database was kept; "" if there was none
};

// Why a copy cannot serve as this service's database, from what its checks
// read: "" when the application id is ours and integrity_check said "ok".
std::string backupVerdict(std::int64_t applicationId, const std::string& integrityCheck);

// Copies the database at databasePath into file, 0600. The copy is written
// under a temporary name, checked, synced and renamed over file, so an
// existing file is replaced only by a complete, sound copy.
BackupResult backupDatabase(const std::string& databasePath, const std::string& file);

// A running service holds its database with this (a shared advisory lock on
// the file, apart from SQLite's own locks) for as long as it runs, so that
// restore can tell it is running. -1 when the file cannot be opened. Close
// it only after the database is closed: closing a descriptor of the file
// drops the process's POSIX locks on it, SQLite's included.
int holdDatabaseForService(const std::string& databasePath);
void releaseDatabaseForService(int held);

// Puts the backup file in place of the database at databasePath, keeping
// the current one as databasePath + ".before-restore". Refused while another
// connection (a running service, a desk-user command) has the database open,
// and for a file that is not exactly this service's database: a copy of it
// must pass the service's start checks and then have exactly the schema the
// service makes (schemaDifference) before anything is replaced. Every desk
// session ends and the restore is audited. Uses the store's own connections
// (openStorage) on that copy: for a process without a database open.
RestoreResult restoreDatabase(const std::string& file, const std::string& databasePath);
