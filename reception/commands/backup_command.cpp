#include "commands/backup_command.h"

#include <cstdio>

#include "commands/config_file.h"
#include "commands/database_option.h"
#include "store/backup.h"
#include "text/text.h"

namespace {

const char backupUsage[] =
    "Usage: vestibra-reception backup FILE [--config FILE] [--database FILE]\n"
    "       vestibra-reception restore FILE [--config FILE] [--database FILE]\n"
    "backup copies the database into FILE while the service runs, checks the copy\n"
    "and prints its size and counts. restore puts FILE in place of the database,\n"
    "keeping the current one as DATABASE.before-restore; the service must be\n"
    "stopped. FILE must pass the service's start checks and hold exactly its\n"
    "tables, indexes and triggers; every desk session ends (everyone signs in\n"
    "again) and the restore is recorded in the audit log. --database defaults to\n"
    "the one named in the service's --config file,\n"
    "else reception.db.\n";

int fail(const std::string& command, const std::string& message) {
  std::fprintf(stderr, "vestibra-reception %s: %s\n", command.c_str(), message.c_str());  // NOLINT(cert-err33-c)
  return 1;
}

std::string countsText(const DatabaseCounts& counts) {
  return std::to_string(counts.staff) + " staff, " + counted(counts.guests, "guest", "guests") + ", " +
         counted(counts.accounts, "desk account", "desk accounts");
}

// The database the service would use: --database, else its config file's, else the default.
std::string databaseOf(const BackupArguments& arguments, std::string& error) {
  if (!arguments.database.empty()) return arguments.database;
  ReceptionOptions service;
  if (!arguments.config.empty()) error = parseOptions({"--config", arguments.config}, service);
  return service.database;
}

int backup(const BackupArguments& arguments, const std::string& database) {
  BackupResult result = backupDatabase(database, arguments.file);
  if (!result.error.empty()) return fail("backup", result.error);
  std::printf("backup %s: %s bytes, %s\n", arguments.file.c_str(), std::to_string(result.bytes).c_str(),
              countsText(result.counts).c_str());
  return 0;
}

int restore(const BackupArguments& arguments, const std::string& database) {
  RestoreResult result = restoreDatabase(arguments.file, database);
  if (!result.error.empty()) return fail("restore", result.error);
  std::printf("restored %s into %s: %s\n", arguments.file.c_str(), database.c_str(), countsText(result.counts).c_str());
  if (!result.previous.empty()) std::printf("the database it replaced is kept as %s\n", result.previous.c_str());
  return 0;
}

}  // namespace

std::string parseBackupArguments(const std::vector<std::string>& arguments, BackupArguments& parsed) {
  for (std::size_t at = 0; at < arguments.size(); ++at) {
    const std::string& argument = arguments[at];
    if (argument == "--help" || argument == "-h") {
      parsed.help = true;
    } else if (argument == "--database" || argument == "--config") {
      if (at + 1 >= arguments.size() || arguments[at + 1].empty()) return argument + " needs a file name";
      (argument == "--config" ? parsed.config : parsed.database) = arguments[++at];
    } else if (argument.rfind('-', 0) == 0) {
      return "unknown option \"" + argument + "\"";
    } else if (!parsed.file.empty()) {
      return "one FILE only";
    } else {
      parsed.file = argument;
    }
  }
  if (parsed.file.empty() && !parsed.help) return "which FILE?";
  return "";
}

int runBackupCommand(const std::string& command, const std::vector<std::string>& arguments) {
  BackupArguments parsed;
  std::string error = parseBackupArguments(arguments, parsed);
  if (!error.empty()) return fail(command, error + " (see " + command + " --help)");
  if (parsed.help) {
    std::fputs(backupUsage, stdout);  // NOLINT(cert-err33-c)
    return 0;
  }
  std::string database = databaseOf(parsed, error);
  if (!error.empty()) return fail(command, error);
  error = refuseServerBackup(command, database);
  if (!error.empty()) {
    fail(command, error);
    return 2;
  }
  return command == "backup" ? backup(parsed, database) : restore(parsed, database);
}
