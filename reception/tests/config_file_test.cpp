#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "commands/config_file.h"
#include "commands/start_checks.h"
#include "test_support.h"

namespace {

struct ConfigCase {
  const char* text;
  const char* error;  // "" for a good file
};

}  // namespace

// Every long option works in the file; blank lines, comments, CR LF and
// spaces around "=" are allowed; a bad line names the file and its number.
TEST(ConfigFile, LinesBecomeOptionsAndBadLinesAreNamed) {
  ReceptionOptions options;
  ASSERT_EQ(applyConfigText("\xEF\xBB\xBF# reception.conf\r\n"
                            "\r\n"
                            "listen = 127.0.0.9:8080   # the office address\r\n"
                            "  database=/var/lib/x/a#1.db\r\n"
                            "\tkey =  office-Key_1.~\r\n"
                            "code-page = CP850\n"
                            "demo\n",
                            "reception.conf", options),
            "");
  EXPECT_EQ(options.address, "127.0.0.9");
  EXPECT_EQ(options.port, 8080);
  EXPECT_EQ(options.database, "/var/lib/x/a#1.db");
  EXPECT_EQ(options.key, "office-Key_1.~");
  EXPECT_EQ(options.codePage, "CP850");
  EXPECT_TRUE(options.demo);

  const ConfigCase bad[] = {
      {"# fine\nlisten 127.0.0.1\n", "c.conf, line 2: \"listen 127.0.0.1\" is not \"name = value\" with an option's long name (see --help)"},
      {"= 5\n", "c.conf, line 1: \"= 5\" is not \"name = value\" with an option's long name (see --help)"},
      {"--key = abc\n", "c.conf, line 1: \"--key = abc\" is not \"name = value\" with an option's long name (see --help)"},
      {"\n\nlisen = 127.0.0.1\n", "c.conf, line 3: unknown option \"--lisen=127.0.0.1\" (see --help)"},
      {"key = a&b\n", "c.conf, line 1: --key must be 1 to 128 letters, digits or -._~"},
      {"database =\n", "c.conf, line 1: --database needs a file name"},
      {"port\n", "c.conf, line 1: --port needs a value"},
      {"demo = yes\n", "c.conf, line 1: unknown option \"--demo=yes\" (see --help)"},
      {"config = other.conf\n", "c.conf, line 1: a configuration file cannot name another with config"},
  };
  for (const ConfigCase& c : bad) {
    SCOPED_TRACE(c.text);
    ReceptionOptions fresh;
    EXPECT_EQ(applyConfigText(c.text, "c.conf", fresh), c.error);
  }
}

class ConfigFileOptionTest : public WorkingDirectoryTest {};

TEST_F(ConfigFileOptionTest, CommandLineWinsOverTheFile) {
  writeFileBytes("reception.conf", "listen = 127.0.0.9:8080\nkey = fromFile\ndatabase = file.db\n");
  ReceptionOptions options;
  ASSERT_EQ(parseOptions({"--key", "fromCommandLine", "--config", "reception.conf", "--port=81"}, options), "");
  EXPECT_EQ(options.address, "127.0.0.9");
  EXPECT_EQ(options.port, 81);
  EXPECT_EQ(options.key, "fromCommandLine");
  EXPECT_EQ(options.database, "file.db");

  ReceptionOptions other;
  EXPECT_EQ(parseOptions({"--config=missing.conf"}, other), "cannot read the configuration file missing.conf");
  EXPECT_EQ(parseOptions({"--config"}, other), "--config needs a value");
  EXPECT_EQ(parseOptions({"--config="}, other), "--config needs a file name");
  writeFileBytes("bad.conf", "listen = 127.0.0.1\nkey = no spaces allowed\n");
  EXPECT_EQ(parseOptions({"--config", "bad.conf"}, other), "bad.conf, line 2: --key must be 1 to 128 letters, digits or -._~");
}

// The reply links' base and whether the desk answers to it: refused when its
// port is not one the service listens on, answered with a warning naming
// host-name when only its host is new; key-file and key, the later wins.
TEST(StartChecks, PublicUrlAgainstTheDesksNamesAndPorts) {
  EXPECT_EQ(defaultPublicUrl("desk.corp.example", 80, 0), "http://desk.corp.example/");
  EXPECT_EQ(defaultPublicUrl("desk.corp.example", 8080, 0), "http://desk.corp.example:8080/");
  EXPECT_EQ(defaultPublicUrl("desk.corp.example", 80, 443), "https://desk.corp.example/");
  EXPECT_EQ(defaultPublicUrl("", 80, 8443), "https://localhost:8443/");
  const struct {
    const char* url;
    bool refused;
    bool warned;
  } cases[] = {
      {"http://reception.corp/", false, false},        {"http://Reception.Corp:80/x/", false, false},
      {"https://reception.corp/", false, false},       {"http://reception.corp:8080/", true, false},
      {"https://reception.corp:8443/", false, false},  {"http://alias.example/", false, true},
      {"http://u:p@alias.example:9999/", true, true},  {"http://[::1]:8443/", false, false},
      {"https://lb.example:9443/", false, false},      {"http://lb.example:9999/", true, true},
  };
  for (const auto& test : cases) {
    DeskOrigin origin{serviceHostNames("10.0.0.5", {"reception.corp", "lb.example:9443"}), {80, 8443}, 8443, nullptr};
    std::string warning;
    std::string error = checkPublicUrl(test.url, origin, warning);
    EXPECT_EQ(!error.empty(), test.refused) << test.url << ": " << error;
    EXPECT_EQ(!warning.empty(), test.warned) << test.url << ": " << warning;
    if (test.warned) {
      const char* named = std::string(test.url).find("alias") != std::string::npos ? "host-name = alias.example"
                                                                                    : "host-name = lb.example";
      EXPECT_NE(warning.find(named), std::string::npos) << warning;
    }
    if (test.warned && !test.refused) {
      EXPECT_TRUE(isServiceHost("alias.example", origin)) << "the reply links are answered";
    }
  }
  ReceptionOptions options;
  ASSERT_EQ(parseCommandLine({"--key-file", "/k", "--key", "abc"}, options), "");
  EXPECT_EQ(options.key, "abc");
  EXPECT_EQ(options.keyFile, "");
  ASSERT_EQ(parseCommandLine({"--key-file", "/k"}, options), "");
  EXPECT_EQ(options.key, "");
  EXPECT_EQ(options.keyFile, "/k");
}
