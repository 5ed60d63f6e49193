// vestibra-reception: the reception service Vestibra notifiers poll, with the
// front desk page. Runs until SIGINT or SIGTERM.
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "access_key.h"
#include "alerts/alert_setup.h"
#include "alerts/alert_worker.h"
#include "commands/backup_command.h"
#include "commands/config_file.h"
#include "commands/desk_user_command.h"
#include "commands/erase_visitor_command.h"
#include "commands/directory_sync_command.h"
#include "commands/database_option.h"
#include "store/database_location.h"
#include "commands/options.h"
#include "config/privileges.h"
#include "commands/start_checks.h"
#include "desk/desk.h"
#include "desk/known_addresses.h"
#include "directory/directory_worker.h"
#include "downloads/notifier_installer.h"
#include "host/host_events.h"
#include "http/access_log.h"
#include "http/metrics_listener.h"
#include "rules/validation.h"
#include "service.h"
#include "service_settings.h"
#include "sso/sso_pages.h"
#include "store/accounts.h"
#include "store/backup.h"
#include "store/clock.h"
#include "store/leadership.h"
#include "store/schema.h"
#include "store/staff.h"
#include "text/code_page.h"
#include "visits/erase_rewriter.h"
#include "visits/sign_out_worker.h"

namespace {

int fail(const std::string& message) {
  std::fprintf(stderr, "vestibra-reception: %s\n", message.c_str());  // NOLINT(cert-err33-c): nowhere left to report to
  return 1;
}

// Blocked before the server threads start, so only sigwait receives them.
sigset_t serviceSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  return signals;
}

// Waits for SIGINT or SIGTERM, applying the retention once a day while this
// instance leads (and at once when it comes to lead), and reopening the
// access log on SIGHUP (after logrotate moved it) meanwhile.
// led: whether it led when the retention was last considered.
void waitForStop(const sigset_t& signals, int retentionDays, bool led) {
  constexpr auto day = std::chrono::hours(24);
  auto nextRetention = std::chrono::steady_clock::now() + day;
  for (;;) {
    timespec wait{leaderRetryMs / 1000, 0};
    int received = sigtimedwait(&signals, nullptr, &wait);
    if (received == SIGHUP) {
      reopenAccessLog();
    } else if (received >= 0) {
      return;
    }
    bool leads = isLeader();
    bool due = std::chrono::steady_clock::now() >= nextRetention;
    if (leads && (due || !led)) {
      applyRetention(retentionDays);
      nextRetention = std::chrono::steady_clock::now() + day;
    }
    led = leads;
  }
}

// A PEM file's text; false with error set when it cannot be read.
bool readPem(const std::string& path, const char* what, std::string& text, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  if (file) bytes << file.rdbuf();
  if (!file || bytes.str().find("-----BEGIN ") == std::string::npos) {
    error = std::string("cannot read the TLS ") + what + " " + path + (file ? ": it is not PEM" : ": " + std::string(std::strerror(errno)));
    return false;
  }
  text = bytes.str();
  return true;
}

// The HTTPS listener when --tls-cert is given, or -1 with error empty.
int openTlsListener(const ReceptionOptions& options, std::string& certificate, std::string& key, std::string& error) {
  if (options.tlsCertificate.empty()) return -1;
  if (!readPem(options.tlsCertificate, "certificate", certificate, error) || !readPem(options.tlsKey, "key", key, error)) {
    return -1;
  }
  return openListener(options.tlsAddress.empty() ? options.address : options.tlsAddress, options.tlsPort, error);
}

bool isLoopbackAddress(const std::string& address) { return address == "localhost" || address.rfind("127.", 0) == 0; }

// The key built into every notifier is public: on an office network any web
// page or colleague could use it to read and dismiss guests.
void warnOfBuiltInKey(const ReceptionOptions& options, const ServiceSettings& settings) {
  if (!settings.desk.notifierKeyBuiltIn || isLoopbackAddress(options.address)) return;
  std::fprintf(stderr,  // NOLINT(cert-err33-c): a warning; the service runs on
               "vestibra-reception: warning: notifiers on %s are served with the key built into every notifier, which "
               "anyone can read; set \"key = <24 random letters and digits>\" in the configuration and install the "
               "notifiers with it (the admin's desk page shows the line)\n",
               options.address.c_str());
}

void printDemoLogin() {
  std::string password = prepareDemoAdmin();
  if (password.empty()) {
    std::fprintf(stderr, "vestibra-reception: the demo desk account could not be saved\n");  // NOLINT(cert-err33-c)
    return;
  }
  // Shown once, for the one-command demo; the database keeps only its hash.
  std::printf("desk login: reception / %s\n", password.c_str());
}

// The subcommands, each a program of its own over the service's database.
std::optional<int> runSubcommand(const std::vector<std::string>& arguments) {
  if (arguments.empty()) return std::nullopt;
  std::vector<std::string> rest(arguments.begin() + 1, arguments.end());
  const std::string& command = arguments[0];
  if (command == "desk-user") return runDeskUserCommand(rest);
  if (command == "directory-sync") return runDirectorySyncCommand(rest);
  if (command == "backup" || command == "restore") return runBackupCommand(command, rest);
  if (command == "erase-visitor") return runEraseVisitorCommand(rest);
  return std::nullopt;
}

// "" when the options can run a service; else why not.
std::string checkServiceOptions(const ReceptionOptions& options) {
  if (!options.directory.url.empty() || options.directory.syncMinutes > 0) {
    std::string error = checkDirectoryOptions(options.directory);
    if (!error.empty()) return error;
  }
  if (!isUsableCodePage(options.codePage)) {
    return "the code page " + options.codePage + " is unknown to iconv or does not keep ASCII as it is";
  }
  return "";
}

// The sockets, opened first, as root if need be, before the service drops to --user.
struct Listeners {
  int plain = -1;
  int tls = -1;
  int metrics = -1;
  std::string certificate;  // PEM, with tls
  std::string key;
};

std::string openListeners(const ReceptionOptions& options, Listeners& listeners) {
  std::string error;
  listeners.plain = openListener(options.address, options.port, error);
  if (listeners.plain < 0) return error;
  listeners.tls = openTlsListener(options, listeners.certificate, listeners.key, error);
  if (!error.empty()) return error;
  if (!options.metricsAddress.empty()) listeners.metrics = openListener(options.metricsAddress, options.metricsPort, error);
  return error;
}

// The database and the logs, as the --user; held for as long as the service runs.
std::string openRecords(const ReceptionOptions& options, int& held) {
  std::string error = refuseLinkedDatabase(options.database);
  if (!error.empty()) return error;
  // As the --user, so that a reopened log after rotation is still writable.
  if (!options.accessLog.empty() && !openAccessLog(options.accessLog, error)) return error;
  keepDatabasePrivate(options.database);
  error = openDatabaseOption(options.database, options.databasePasswordFile);
  if (!error.empty()) return error;
  held = holdDatabaseForService(options.database);
  if (options.demo) {
    seedDemoStaff();
    printDemoLogin();
  }
  return "";
}

void closeRecords(int held) {
  closeStorage();
  releaseDatabaseForService(held);
  closeAccessLog();
}

// The service's own sockets, which no alert may be sent to.
void addOwnListeners(const ReceptionOptions& options, const Listeners& listeners, AlertTargetRule& rule) {
  rule.machineAddresses = interfaceAddresses;
  rule.ownListeners.push_back({options.address, listeningPort(listeners.plain)});
  if (listeners.tls >= 0) {
    rule.ownListeners.push_back({options.tlsAddress.empty() ? options.address : options.tlsAddress, listeningPort(listeners.tls)});
  }
  if (listeners.metrics >= 0) rule.ownListeners.push_back({options.metricsAddress, listeningPort(listeners.metrics)});
}

// The names and ports the desk answers to.
void setOrigin(const ReceptionOptions& options, const Listeners& listeners, DeskOrigin& origin) {
  origin.hostNames = serviceHostNames(options.address, options.hostNames);
  origin.machineAddresses = std::make_shared<HostAddresses>();
  origin.ports = {listeningPort(listeners.plain)};
  if (listeners.tls >= 0) {
    origin.tlsPort = listeningPort(listeners.tls);
    origin.ports.push_back(origin.tlsPort);
  }
}

// As the user the service runs as: every file it reads later is readable
// now, and the notifiers' key is read from --key-file.
std::string readSecrets(ReceptionOptions& options) {
  std::string error = checkReadableFiles(options);
  if (error.empty() && !options.keyFile.empty()) error = readKeyFile(options.keyFile, options.key);
  if (error.empty()) error = loadNotifierInstaller(options.notifierInstaller);
  return error;
}

// The alert settings, with reply links the desk answers to (they come back
// to the public URL's host name).
std::string prepareReplyLinks(const ReceptionOptions& options, const Listeners& listeners, DeskOrigin& origin,
                              AlertSettings& alerts) {
  std::uint16_t tlsPort = listeners.tls >= 0 ? listeningPort(listeners.tls) : 0;
  std::string fallback = defaultPublicUrl(machineFullName(), listeningPort(listeners.plain), tlsPort);
  std::string error = prepareAlertSettings(options.alerts, fallback, alerts);
  if (!error.empty()) return error;
  std::string warning;
  error = checkPublicUrl(alerts.publicUrl, origin, warning);
  if (!warning.empty()) {
    std::fprintf(stderr, "vestibra-reception: warning: %s\n", warning.c_str());  // NOLINT(cert-err33-c): a warning
  }
  return error;
}

// The names the metrics listener answers to: the desk's, and its own address, on its port.
DeskOrigin metricsOrigin(const ReceptionOptions& options, const Listeners& listeners, const DeskOrigin& desk) {
  DeskOrigin origin;
  origin.hostNames = serviceHostNames(options.metricsAddress, options.hostNames);
  origin.ports = {listeningPort(listeners.metrics)};
  origin.machineAddresses = desk.machineAddresses;
  return origin;
}

std::string startServers(const ReceptionOptions& options, const Listeners& listeners, const DeskOrigin& desk) {
  std::string error;
  if (!startHttpServer(listeners.plain, receptionServerSetup(), error) ||
      (listeners.tls >= 0 && !startTlsServer(listeners.tls, listeners.certificate, listeners.key, error)) ||
      (listeners.metrics >= 0 &&
       !startMetricsServer(listeners.metrics, &receptionMetricsText, &receptionHealthAnswer, metricsOrigin(options, listeners, desk), error))) {
    stopHttpServer();
  }
  return error;
}

// NOLINTBEGIN(cert-err33-c): the service runs on whether or not its log is read
void announceAddresses(const ReceptionOptions& options, const Listeners& listeners) {
  if (listeners.tls >= 0) {
    std::printf("vestibra-reception: the front desk is at https://%s:%u/\n",
                (options.tlsAddress.empty() ? options.address : options.tlsAddress).c_str(),
                static_cast<unsigned>(listeningPort(listeners.tls)));
  }
  if (listeners.metrics >= 0) {
    std::printf("vestibra-reception: metrics at http://%s:%u/metrics\n", options.metricsAddress.c_str(),
                static_cast<unsigned>(listeningPort(listeners.metrics)));
  }
}

// The readiness signal: scripts/service.sh and the test support wait for "listening on".
void announceReady(const ReceptionOptions& options, const Listeners& listeners) {
  std::printf("vestibra-reception: listening on http://%s:%u/ with the database %s\n", options.address.c_str(),
              static_cast<unsigned>(listeningPort(listeners.plain)), printableLocation(options.database).c_str());
  std::fflush(stdout);
}
// NOLINTEND(cert-err33-c)

// Everything the running service holds, from start to stop.
struct RunningService {
  Listeners listeners;
  ServiceSettings settings;
  AlertSettings alerts;
  int held = -1;  // the database's hold
  bool leads = false;  // whether this instance led the background work when it started
};

// The listeners (as root if need be), then as the --user the secrets, the
// settings and the records.
std::string prepareService(ReceptionOptions& options, RunningService& service) {
  std::string error = openListeners(options, service.listeners);
  if (error.empty() && !options.user.empty()) error = dropPrivileges(options.user);
  if (error.empty()) error = readSecrets(options);
  if (!error.empty()) return error;
  service.settings = serviceSettings(options, accessKey);
  const VisitOptions& visits = options.visits;
  error = loadVisitSettings(visits.houseRulesFile, visits.visitorInstructionsFile, service.settings.desk.visits);
  if (!error.empty()) return error;
  if (!options.keyFile.empty()) warnOfBuiltInKey(options, service.settings);
  setOrigin(options, service.listeners, service.settings.origin);
  error = prepareReplyLinks(options, service.listeners, service.settings.origin, service.alerts);
  return error.empty() ? openRecords(options, service.held) : error;
}

// Instances on one PostgreSQL database: the background work runs in the one that leads.
void startBackgroundWork(const ReceptionOptions& options, RunningService& service) {
  startLeadership();
  service.leads = isLeader();
  if (service.leads) applyRetention(service.settings.desk.policy.retentionDays);
  startDirectoryWorker(options.directory);
  startAlertWorker(service.alerts);
  startSignOutWorker(options.visits.signOutMinute);
  startEraseRewriter();
}

std::string startService(ReceptionOptions& options, RunningService& service) {
  std::string error = prepareService(options, service);
  if (!error.empty()) return error;
  loadKnownDeskAddresses(currentTimeMs());
  addOwnListeners(options, service.listeners, service.alerts.targets);
  shareAlertSettings(service.alerts, service.settings);
  error = startSsoIfConfigured(options.sso, service.alerts.publicUrl);
  if (!error.empty()) return error;
  configureService(service.settings);
  error = startServers(options, service.listeners, service.settings.origin);
  if (!error.empty()) {
    stopSso();
    closeRecords(service.held);
    return error;
  }
  announceAddresses(options, service.listeners);
  startBackgroundWork(options, service);
  announceReady(options, service.listeners);
  return "";
}

void stopService(const RunningService& service) {
  stopHttpServer();
  stopHostEvents();
  stopHostMailer();
  stopDirectoryWorker();
  stopAlertWorker();
  stopSignOutWorker();
  stopEraseRewriter();
  stopSso();
  stopLeadership();
  closeRecords(service.held);
  std::printf("vestibra-reception: stopped\n");  // NOLINT(cert-err33-c)
}

}  // namespace

int main(int argc, char** argv) {
  // Files the service creates (the database, its -wal and -shm) are for its owner only.
  ::umask(077);
  std::vector<std::string> arguments(argv + 1, argv + argc);
  if (std::optional<int> exitCode = runSubcommand(arguments)) return *exitCode;
  ReceptionOptions options;
  std::string error = parseOptions(arguments, options);
  if (!error.empty()) return fail(error);
  if (options.help) {
    std::fputs(receptionUsage().c_str(), stdout);  // NOLINT(cert-err33-c): nowhere left to report to
    return 0;
  }
  error = checkServiceOptions(options);
  if (!error.empty()) return fail(error);
  // Said before anything can fail; a key from --key-file is known only later.
  if (options.keyFile.empty()) warnOfBuiltInKey(options, serviceSettings(options, accessKey));
  if (!initAccounts()) return fail("libsodium could not start");
  if (!initAlertSender()) return fail("libcurl could not start");

  sigset_t signals = serviceSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  RunningService service;
  error = startService(options, service);
  if (!error.empty()) return fail(error);
  waitForStop(signals, service.settings.desk.policy.retentionDays, service.leads);
  stopService(service);
  return 0;
}
