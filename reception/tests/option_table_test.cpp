#include "commands/option_table.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "commands/config_file.h"

namespace {

const char tableStart[] = "<!-- option table:";
const char tableEnd[] = "<!-- end of option table -->";

std::string readText(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

}  // namespace

// Each row is an option of the command line, a key of the configuration file
// and a line of --help, under one name; flags take no value, the others need one.
TEST(OptionTable, EveryRowWorksOnTheCommandLineInTheFileAndInHelp) {
  std::string usage = receptionUsage();
  std::set<std::string> names;
  for (const OptionRow& row : optionTable()) {
    std::string name = row.name;
    std::string dashed = "--" + name;
    EXPECT_TRUE(names.insert(name).second) << name << " is declared twice";
    EXPECT_EQ(findOption(dashed), &row) << name;
    EXPECT_NE(usage.find("  " + dashed + (row.isFlag() ? "" : " ")), std::string::npos) << name;
    ReceptionOptions options;
    if (!row.rule) {
      EXPECT_NE(applyConfigText(name + "\n", "c.conf", options), "") << name;
    } else if (row.isFlag()) {
      EXPECT_EQ(applyArguments({dashed}, options), "") << name;
      EXPECT_EQ(applyConfigText(name + "\n", "c.conf", options), "") << name;
      // --help=anything is --help, as it always was.
      if (name != "help") {
        EXPECT_EQ(applyArguments({dashed + "=1"}, options), "unknown option \"" + dashed + "=1\" (see --help)");
      }
    } else {
      EXPECT_EQ(applyArguments({dashed}, options), dashed + " needs a value");
      EXPECT_EQ(applyConfigText(name + "\n", "c.conf", options), "c.conf, line 1: " + dashed + " needs a value");
    }
  }
  EXPECT_EQ(findOption("--no-such-option"), nullptr);
  EXPECT_EQ(findOption("listen"), nullptr);
}

// Messages of options whose rules have words of their own.
TEST(OptionTable, ValuesAreCheckedByTheirRows) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--metrics-listen", "127.0.0.1"}, "--metrics-listen needs ADDRESS:PORT, for example 127.0.0.1:9464"},
      {{"--metrics-listen", "127.0.0.1:99999"}, "--metrics-listen: \"99999\" is not a port number (0 to 65535)"},
      {{"--notifier-keys", "all"}, "--notifier-keys is shared, personal or both"},
      {{"--ldap-tls", "ssl"}, "--ldap-tls is starttls or none"},
      {{"--smtp-tls", "ssl"}, "--smtp-tls must be starttls or none"},
      {{"--smtp-from", "desk"}, "--smtp-from: \"desk\" is not an email address"},
      {{"--ldap-sync-minutes", "10081"}, "--ldap-sync-minutes: \"10081\" is not a number from 0 to 10080"},
      {{"--alert-claim-seconds", "0"}, "--alert-claim-seconds: \"0\" is not a whole number from 1 to 3600"},
      {{"--max-event-streams", "1e3"}, "--max-event-streams: \"1e3\" is not a number from 1 to 100000"},
      {{"--code-page="}, "--code-page needs a code page name"},
      {{"--ldap-sync-minutes="}, "--ldap-sync-minutes needs a value"},
      {{"--tls-listen="}, "--tls-listen needs a value"},
      {{"--house-rules-file="}, "--house-rules-file needs a file name"},
      {{"--ldap-filter", "uid=*"}, "--ldap-filter must be in parentheses"},
      {{"--oidc-issuer", "http://id.example.com"},
       "--oidc-issuer must be an https:// address (http:// only on loopback)"},
  };
  for (const auto& [arguments, error] : cases) {
    ReceptionOptions options;
    EXPECT_EQ(applyArguments(arguments, options), error);
  }
  ReceptionOptions options;
  ASSERT_EQ(applyArguments({"--metrics-listen=127.0.0.1:9464", "--public-url", "https://desk.example.com", "--smtp-tls",
                            "none", "--sign-out-at", "off", "--max-event-streams", "7"},
                           options),
            "");
  EXPECT_EQ(options.metricsAddress, "127.0.0.1");
  EXPECT_EQ(options.metricsPort, 9464);
  EXPECT_EQ(options.alerts.publicUrl, "https://desk.example.com/");
  EXPECT_FALSE(options.alerts.smtpRequireTls);
  EXPECT_EQ(options.visits.signOutMinute, -1);
  EXPECT_EQ(options.maxEventStreams, 7U);
}

TEST(OptionTable, HelpFitsEightyColumns) {
  std::istringstream lines(receptionUsage());
  std::string line;
  while (std::getline(lines, line)) EXPECT_LE(line.size(), 80U) << line;
}

// The README's option table is the one the rows make. With
// VESTIBRA_WRITE_README=1 (scripts/readme-options) the test writes it instead.
TEST(OptionTable, ReadmeTableIsCurrent) {
  std::string readme = readText(README_FILE);
  std::size_t start = readme.find(tableStart);
  std::size_t end = readme.find(tableEnd);
  ASSERT_NE(start, std::string::npos);
  ASSERT_NE(end, std::string::npos);
  start = readme.find('\n', start) + 1;
  ASSERT_LE(start, end);
  std::string table = optionMarkdownTable();
  const char* write = std::getenv("VESTIBRA_WRITE_README");
  if (write != nullptr && std::string(write) == "1") {
    readme.replace(start, end - start, table);
    std::ofstream(README_FILE, std::ios::binary) << readme;
    return;
  }
  EXPECT_EQ(readme.substr(start, end - start), table) << "run scripts/readme-options";
}
