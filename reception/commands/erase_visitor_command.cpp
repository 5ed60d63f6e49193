#include "commands/erase_visitor_command.h"

#include <cstdio>
#include <filesystem>

#include "commands/config_file.h"
#include "config/privileges.h"
#include "store/audit.h"
#include "store/erase.h"
#include "commands/database_option.h"
#include "store/database_location.h"
#include "store/schema.h"
#include "text/text.h"

namespace {

const char eraseUsage[] =
    "Usage: vestibra-reception erase-visitor --name NAME | --email EMAIL [--config FILE] [--database FILE]\n"
    "       [--database-password-file FILE]\n"
    "Deletes every visit, invitation, announcement, alert and reply link of the visitor, rewrites\n"
    "the audit entries that named them without the name, and empties the database's WAL so the\n"
    "name is gone from the files (on PostgreSQL: rewrites the tables that held visitors, VACUUM\n"
    "FULL). Prints \"erased N visits\". Exit codes: 0 done, 1 the database could not be used,\n"
    "2 bad options, 3 erased but the WAL is still in use by the service (run it again once the\n"
    "service is stopped) or, on PostgreSQL, the tables could not be rewritten (run it again).\n";

struct EraseArguments {
  VisitorToErase visitor;
  std::string database;
  std::string databasePasswordFile;
  std::string config;
};

int fail(const std::string& message, int code) {
  std::fprintf(stderr, "vestibra-reception erase-visitor: %s\n", message.c_str());  // NOLINT(cert-err33-c)
  return code;
}

std::string parseArguments(const std::vector<std::string>& arguments, EraseArguments& parsed) {
  for (std::size_t at = 0; at < arguments.size(); ++at) {
    const std::string& argument = arguments[at];
    if (argument != "--name" && argument != "--email" && argument != "--database" &&
        argument != "--database-password-file" && argument != "--config") {
      return "unknown argument \"" + argument + "\"";
    }
    if (at + 1 >= arguments.size() || arguments[at + 1].empty()) return argument + " needs a value";
    const std::string& value = arguments[++at];
    if (argument == "--name") parsed.visitor.guestName = collapsedSpaces(value);
    if (argument == "--email") parsed.visitor.guestEmail = std::string(trimmed(value));
    if (argument == "--database") parsed.database = value;
    if (argument == "--database-password-file") parsed.databasePasswordFile = value;
    if (argument == "--config") parsed.config = value;
  }
  if (parsed.visitor.guestName.empty() == parsed.visitor.guestEmail.empty()) return "give either --name or --email";
  return "";
}

}  // namespace

int runEraseVisitorCommand(const std::vector<std::string>& arguments) {
  if (!arguments.empty() && (arguments[0] == "--help" || arguments[0] == "-h")) {
    std::fputs(eraseUsage, stdout);  // NOLINT(cert-err33-c)
    return 0;
  }
  EraseArguments parsed;
  std::string error = parseArguments(arguments, parsed);
  if (!error.empty()) return fail(error + " (see erase-visitor --help)", exitEraseBadOptions);
  std::string passwordFile = parsed.databasePasswordFile;
  if (parsed.database.empty()) {
    ReceptionOptions service;
    if (!parsed.config.empty()) error = parseOptions({"--config", parsed.config}, service);
    if (!error.empty()) return fail(error, exitEraseBadOptions);
    parsed.database = service.database;
    passwordFile = service.databasePasswordFile;
  }
  std::error_code ignored;
  if (!isPostgresLocation(parsed.database) && !std::filesystem::exists(parsed.database, ignored)) {
    return fail("there is no database " + parsed.database + " (check --database or --config)", exitEraseFailed);
  }
  error = refuseLinkedDatabase(parsed.database);
  if (!error.empty()) return fail(error, exitEraseFailed);
  error = openDatabaseOption(parsed.database, passwordFile);
  if (!error.empty()) return fail(error, exitEraseFailed);
  std::int64_t erased = 0;
  Outcome done = eraseVisitor(parsed.visitor, erased);
  std::string summary = "erased " + counted(erased, "visit", "visits");
  if (done == Outcome::ok) recordAudit("(command line)", "", eraseAction, summary);
  Outcome emptied = done == Outcome::ok ? checkpointWal() : Outcome::failed;
  // PostgreSQL: the deleted rows leave the table files only when the tables are rewritten.
  Outcome rewritten = done == Outcome::ok ? rewriteAfterErase("(command line)") : Outcome::failed;
  bool postgres = databaseOnPostgres();
  closeStorage();
  if (done != Outcome::ok) return fail("the visitor could not be erased; nothing was changed", exitEraseFailed);
  std::printf("%s\n", summary.c_str());  // NOLINT(cert-err33-c)
  if (postgres && rewritten != Outcome::ok) {
    return fail("the tables could not be rewritten (see the audit log); the name stays in their files until they "
                "are: run the command again",
                exitEraseWalKept);
  }
  if (emptied != Outcome::ok) {
    return fail("the WAL could not be emptied while another process has the database open; the name may stay in "
                "reception.db-wal until it can (run the command again once the service is stopped)",
                exitEraseWalKept);
  }
  return 0;
}
