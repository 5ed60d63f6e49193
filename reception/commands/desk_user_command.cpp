#include "commands/desk_user_command.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <iostream>

#include "commands/config_file.h"
#include "config/privileges.h"
#include "store/accounts.h"
#include "store/audit.h"
#include "commands/database_option.h"
#include "store/database_location.h"
#include "store/schema.h"
#include "text/local_time.h"

namespace {

const char deskUserUsage[] =
    "Usage: vestibra-reception desk-user COMMAND [--database FILE | --config FILE]\n"
    "  add NAME [--role desk|admin|kiosk]\n"
    "                                add an account (role desk unless given; kiosk:\n"
    "                                the self check-in tablet at /kiosk/); the\n"
    "                                password is the first line of standard input\n"
    "  list                          name, role, created and last login of each account\n"
    "  remove NAME                   remove an account and end its sessions\n"
    "  password NAME                 set a new password (first line of standard\n"
    "                                input) and end the account's sessions\n"
    "Passwords have at least 8 characters. --database defaults to reception.db, or\n"
    "to the database named in the service's --config file; a postgresql:// URI's\n"
    "password may come from --database-password-file FILE.\n";

struct DeskUserArguments {
  std::string command;
  std::string name;
  std::string role = "desk";
  std::string database;  // "": from the config file, else reception.db
  std::string databasePasswordFile;
  std::string config;
};

int fail(const std::string& message, int code = 1) {
  std::fprintf(stderr, "vestibra-reception desk-user: %s\n", message.c_str());  // NOLINT(cert-err33-c)
  return code;
}

std::string parseArguments(const std::vector<std::string>& arguments, DeskUserArguments& parsed) {
  std::vector<std::string> words;
  for (std::size_t at = 0; at < arguments.size(); ++at) {
    const std::string& argument = arguments[at];
    if (argument == "--database" || argument == "--database-password-file" || argument == "--role" ||
        argument == "--config") {
      if (at + 1 >= arguments.size()) return argument + " needs a value";
      std::string& value = argument == "--role"                     ? parsed.role
                           : argument == "--config"                 ? parsed.config
                           : argument == "--database-password-file" ? parsed.databasePasswordFile
                                                                    : parsed.database;
      value = arguments[++at];
    } else if (argument.rfind("--", 0) == 0) {
      return "unknown option \"" + argument + "\"";
    } else {
      words.push_back(argument);
    }
  }
  if (words.empty()) return "which command? add, list, remove or password";
  parsed.command = words[0];
  bool needsName = parsed.command != "list";
  if (parsed.command != "add" && parsed.command != "list" && parsed.command != "remove" && parsed.command != "password") {
    return "unknown command \"" + parsed.command + "\"";
  }
  if (words.size() != (needsName ? 2u : 1u)) return needsName ? parsed.command + " needs one account name" : "list takes no name";
  if (needsName) parsed.name = words[1];
  if (!isRole(parsed.role)) return "--role is desk, admin or kiosk";
  return "";
}

// The first line of standard input, without echo when it is a terminal.
std::string readPassword() {
  termios saved{};
  bool terminal = ::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    std::fputs("Password: ", stderr);  // NOLINT(cert-err33-c)
  }
  std::string line;
  std::getline(std::cin, line);
  if (terminal) {
    ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    std::fputs("\n", stderr);  // NOLINT(cert-err33-c)
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

std::string dateText(std::int64_t ms) { return localTimeText(ms, "%Y-%m-%d %H:%M"); }

int listCommand() {
  std::vector<DeskAccount> accounts;
  if (listAccounts(accounts) != Outcome::ok) return fail("the accounts could not be read");
  std::printf("%-24s %-6s %-17s %s\n", "name", "role", "created", "last login");
  for (const DeskAccount& account : accounts) {
    std::printf("%-24s %-6s %-17s %s\n", account.name.c_str(), account.role.c_str(), dateText(account.createdAt).c_str(),
                account.lastLoginAt ? dateText(*account.lastLoginAt).c_str() : "never");
  }
  return 0;
}

void auditCommand(const std::string& action, const std::string& detail) {
  recordAudit("(command line)", "", action, detail);
}

int addCommand(const DeskUserArguments& arguments) {
  std::string error = checkAccountName(arguments.name);
  if (!error.empty()) return fail(error);
  std::string password = readPassword();
  error = checkPassword(password);
  if (!error.empty()) return fail(error, password.size() < minPasswordBytes ? exitShortPassword : 1);
  DeskAccount added;
  switch (addAccount(arguments.name, arguments.role, password, added)) {
    case Outcome::ok:
      auditCommand("account-add", added.name + " (" + added.role + ")");
      std::printf("added %s (%s)\n", added.name.c_str(), added.role.c_str());
      return 0;
    case Outcome::conflict: return fail("there is already an account named " + arguments.name);
    default: return fail("the account could not be saved");
  }
}

int changeCommand(const DeskUserArguments& arguments) {
  DeskAccount found;
  Outcome lookup = findAccount(arguments.name, found);
  if (lookup == Outcome::notFound) return fail("there is no account named " + arguments.name);
  if (lookup != Outcome::ok) return fail("the accounts could not be read");
  const DeskAccount* account = &found;
  if (arguments.command == "remove") {
    if (removeAccount(account->id, false) != Outcome::ok) return fail("the account could not be removed");
    auditCommand("account-remove", account->name + " (" + account->role + ")");
    std::printf("removed %s\n", account->name.c_str());
    return 0;
  }
  std::string password = readPassword();
  std::string error = checkPassword(password);
  if (!error.empty()) return fail(error, password.size() < minPasswordBytes ? exitShortPassword : 1);
  if (setPassword(account->id, password) != Outcome::ok) return fail("the password could not be saved");
  auditCommand("account-password", account->name);
  std::printf("changed the password of %s\n", account->name.c_str());
  return 0;
}

// Only add creates a database, and only in a folder that exists: a mistyped
// --database must not leave a new, empty database behind. "" or the refusal.
std::string checkDatabasePlace(const DeskUserArguments& arguments, bool& creating) {
  namespace fs = std::filesystem;
  std::error_code ignored;
  if (isPostgresLocation(arguments.database)) return "";  // the server's database exists or is refused
  fs::path file = fs::absolute(arguments.database, ignored);
  if (fs::exists(file, ignored)) return "";
  if (arguments.command != "add") {
    return "there is no database " + file.string() + " (check --database or --config); nothing was created";
  }
  if (!fs::is_directory(file.parent_path(), ignored)) {
    return "the folder " + file.parent_path().string() +
           " does not exist; create it, or start the service once (the package's service creates its own)";
  }
  creating = true;
  return "";
}

}  // namespace

int runDeskUserCommand(const std::vector<std::string>& arguments) {
  if (!arguments.empty() && (arguments[0] == "--help" || arguments[0] == "-h")) {
    std::fputs(deskUserUsage, stdout);  // NOLINT(cert-err33-c)
    return 0;
  }
  DeskUserArguments parsed;
  std::string error = parseArguments(arguments, parsed);
  if (!error.empty()) return fail(error + " (see desk-user --help)");
  std::string passwordFile = parsed.databasePasswordFile;
  if (parsed.database.empty()) {
    // The service's own configuration names its database.
    ReceptionOptions service;
    if (!parsed.config.empty()) error = parseOptions({"--config", parsed.config}, service);
    if (!error.empty()) return fail(error);
    parsed.database = service.database;
    passwordFile = service.databasePasswordFile;
  }
  bool creating = false;
  error = checkDatabasePlace(parsed, creating);
  if (!error.empty()) return fail(error);
  if (!initAccounts()) return fail("libsodium could not start");
  error = refuseLinkedDatabase(parsed.database);
  if (!error.empty()) return fail(error);
  keepDatabasePrivate(parsed.database);
  error = openDatabaseOption(parsed.database, passwordFile);
  if (!error.empty()) return fail(error);
  if (creating) std::printf("created the database %s\n", std::filesystem::absolute(parsed.database).c_str());
  int code = parsed.command == "list" ? listCommand() : parsed.command == "add" ? addCommand(parsed) : changeCommand(parsed);
  closeStorage();
  return code;
}
