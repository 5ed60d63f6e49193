// The service's command line, parsed by a pure function.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "alerts/alert_options.h"
#include "directory/directory_options.h"
#include "rules/visit_options.h"
#include "sso/sso_options.h"

struct ReceptionOptions {
  std::string address = "127.0.0.1";
  std::uint16_t port = 80;  // notifiers always connect to port 80
  std::string database = "reception.db";  // a SQLite file or a postgresql:// URI
  std::string databasePasswordFile;       // PostgreSQL: the password's file (never logged)
  std::string key;  // empty: the notifiers' compiled-in key
  std::string keyFile;  // --key-file: the key read from this file at start (the later of the two wins)
  std::string codePage = "WINDOWS-1252";
  // The front desk: escalation after these many seconds, and records kept this many days (0: forever).
  long long escalateAfterUnseenSeconds = 60;
  long long escalateAfterUnacknowledgedSeconds = 300;
  long long retentionDays = 30;
  std::vector<std::string> hostNames;  // --host-name, repeatable
  std::vector<std::string> trustedProxies;  // --trusted-proxy, repeatable: load balancers' addresses
  std::string tlsCertificate;          // PEM files; both or neither
  std::string tlsKey;
  std::string tlsAddress;  // --tls-listen; empty: the listen address
  std::uint16_t tlsPort = 443;
  std::string metricsAddress;  // --metrics-listen; empty: no metrics listener
  std::uint16_t metricsPort = 0;
  std::string user;  // --user: the account to run as after binding the ports
  std::string accessLog;  // --access-log: the combined-format request log; none when empty
  std::string notifierInstaller = "/usr/share/vestibra-reception/vestibra-win64.msi";  // --notifier-msi
  bool demo = false;
  bool help = false;
  // Limits against greedy clients.
  unsigned maxConnectionsPerAddress = 32;
  int maxWaitingPerHost = 50;
  unsigned deskWritesPerSecond = 5;  // per desk account, with a burst of six seconds' worth
  unsigned hostWritesPerSecond = 2;  // per member on their own page, with a burst of five seconds' worth
  unsigned invitationMailsPerHostPerDay = 50;  // invitations with a guest's email, per member in 24 hours
  unsigned maxEventStreams = 5000;  // hosts' open pages at once
  std::string notifierKeys = "both";  // --notifier-keys shared|personal|both
  DirectoryOptions directory;  // the --ldap-* options
  AlertOptions alerts;         // --smtp-*, --team-*, --public-url
  VisitOptions visits;         // --sign-out-at
  SsoOptions sso;              // --oidc-*
};

// Fills options from the arguments after the program name; "" or a message
// naming the bad option.
std::string parseCommandLine(const std::vector<std::string>& arguments, ReceptionOptions& options);
// The same without the checks of options that go together, for one line of
// a configuration file: its partner may come on a later line.
std::string applyArguments(const std::vector<std::string>& arguments, ReceptionOptions& options);

// A notifier access key: 1 to 128 letters, digits or -._~.
bool isKey(const std::string& key);

// The whole --help text.
std::string receptionUsage();
