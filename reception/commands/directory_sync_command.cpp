#include "commands/directory_sync_command.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "commands/config_file.h"
#include "config/privileges.h"
#include "directory/directory_sync.h"
#include "commands/database_option.h"
#include "store/database_location.h"
#include "store/schema.h"
#include "text/utf8.h"

namespace {

const char syncUsage[] =
    "Usage: vestibra-reception directory-sync [--config FILE] [--database FILE] [--dry-run] [--force]\n"
    "                                         [--ldap-... options]\n"
    "Syncs the staff from the directory once and prints\n"
    "  added N, updated N, deactivated N, unchanged N, rejected N\n"
    "then one line per person added, updated, deactivated or rejected. The\n"
    "--ldap-* options are those of the service (see vestibra-reception --help);\n"
    "the command line wins over --config.\n"
    "  --dry-run  show what would change; change nothing (and make no database\n"
    "             when there is none yet: everyone would be added)\n"
    "  --force    apply even when more than half of the directory's staff would\n"
    "             be deactivated\n"
    "Exit codes: 0 done, 1 the directory could not be reached, bound or searched\n"
    "(nothing changed), 2 bad options, 3 stopped by the safety check.\n";

struct SyncArguments {
  std::vector<std::string> options;  // those of the service
  bool dryRun = false;
  bool force = false;
  bool help = false;
};

SyncArguments splitArguments(const std::vector<std::string>& arguments) {
  SyncArguments parsed;
  for (const std::string& argument : arguments) {
    if (argument == "--dry-run") {
      parsed.dryRun = true;
    } else if (argument == "--force") {
      parsed.force = true;
    } else if (argument == "--help" || argument == "-h") {
      parsed.help = true;
    } else {
      parsed.options.push_back(argument);
    }
  }
  return parsed;
}

// DNs, names and the server's own messages are the directory's text: their
// control characters are shown, never sent to the terminal.
int fail(const std::string& message, int code) {
  std::fprintf(stderr, "vestibra-reception directory-sync: %s\n", escapedControls(message).c_str());  // NOLINT(cert-err33-c)
  return code;
}

int exitCode(DirectorySyncOutcome outcome) {
  switch (outcome) {
    case DirectorySyncOutcome::applied:
    case DirectorySyncOutcome::previewed: return 0;
    case DirectorySyncOutcome::safetyStop: return exitDirectorySafetyStop;
    default: return exitDirectoryUnreachable;
  }
}

// One line per person, as the desk's preview lists them; a sync stopped by
// the safety check changed no one, so it says what it would have done.
void printResult(const DirectorySyncResult& result) {
  bool stopped = result.outcome == DirectorySyncOutcome::safetyStop;
  std::printf("%s%s\n", stopped ? "nothing changed; the sync would have: " : "", planSummary(result.plan).c_str());
  const char* would = result.dryRun || stopped ? "would be " : "";
  for (const DirectoryEntry& entry : result.plan.added) {
    std::printf("%sadded: %s %s\n", would, entry.firstName.c_str(), entry.lastName.c_str());
  }
  for (const StaffUpdate& change : result.plan.updated) {
    std::string after = change.entry.firstName + " " + change.entry.lastName;
    std::string how = change.reactivated ? after + " (back in the directory)"
                      : change.before == after ? after + " (new mail)"
                                               : change.before + " -> " + after;
    std::printf("%supdated: %s\n", would, how.c_str());
  }
  for (const DeactivatedStaff& staff : result.plan.deactivated) {
    std::printf("%sdeactivated: %s\n", would, staff.displayName.c_str());
  }
  for (const RejectedEntry& rejected : result.plan.rejected) {
    std::printf("rejected %s: %s\n", escapedControls(rejected.dn).c_str(), escapedControls(rejected.reason).c_str());
  }
}

// A dry run against a database that does not exist yet compares with an
// empty one in memory: a preview leaves no file behind. A PostgreSQL
// database is the server's: compared with as it is.
std::string storageFor(const std::string& database, bool dryRun) {
  if (isPostgresLocation(database)) return database;
  struct stat status {};
  if (dryRun && ::stat(database.c_str(), &status) != 0 && errno == ENOENT) return ":memory:";
  return database;
}

}  // namespace

int runDirectorySyncCommand(const std::vector<std::string>& arguments) {
  SyncArguments parsed = splitArguments(arguments);
  if (parsed.help) {
    std::fputs(syncUsage, stdout);  // NOLINT(cert-err33-c)
    return 0;
  }
  ReceptionOptions options;
  std::string error = parseOptions(parsed.options, options);
  LdapSettings settings;
  if (error.empty()) error = ldapSettingsFrom(options.directory, settings);
  if (!error.empty()) return fail(error + " (see directory-sync --help)", exitDirectoryBadOptions);
  std::string database = storageFor(options.database, parsed.dryRun);
  keepDatabasePrivate(database);
  error = openDatabaseOption(database, options.databasePasswordFile);
  if (!error.empty()) return fail(error, exitDirectoryUnreachable);
  DirectorySyncResult result = syncDirectory(settings, {parsed.dryRun, parsed.force, "(command line)", ""});
  closeStorage();
  if (result.outcome != DirectorySyncOutcome::unreachable && result.outcome != DirectorySyncOutcome::failed) {
    printResult(result);
  }
  if (!result.reason.empty()) fail(result.reason, 0);
  return exitCode(result.outcome);
}
