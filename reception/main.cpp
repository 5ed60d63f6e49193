// vestibra-reception: the reception service Vestibra notifiers poll, with the
// front desk page. Runs until SIGINT or SIGTERM.
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "config/config_file.h"
#include "config/desk_user_command.h"
#include "config/options.h"
#include "config/privileges.h"
#include "desk/desk.h"
#include "reception_client.h"
#include "service.h"
#include "store/accounts.h"
#include "store/schema.h"
#include "store/staff.h"
#include "text/code_page.h"

namespace {

int fail(const std::string& message) {
  std::fprintf(stderr, "vestibra-reception: %s\n", message.c_str());  // NOLINT(cert-err33-c): nowhere left to report to
  return 1;
}

// Blocked before the server threads start, so only sigwait receives them.
sigset_t stopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}

// Waits for SIGINT or SIGTERM, applying the retention once a day meanwhile.
void waitForStop(const sigset_t& signals, int retentionDays) {
  constexpr time_t dayInSeconds = time_t{24} * 60 * 60;
  for (;;) {
    timespec day{dayInSeconds, 0};
    if (sigtimedwait(&signals, nullptr, &day) >= 0) return;
    if (errno == EAGAIN) applyRetention(retentionDays);
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

ServiceSettings serviceSettings(const ReceptionOptions& options) {
  ServiceSettings settings;
  settings.notifier.accessKey = options.key.empty() ? accessKey : options.key;
  settings.desk.notifierKeyBuiltIn = settings.notifier.accessKey == accessKey;
  settings.notifier.codePage = options.codePage;
  settings.desk.codePage = options.codePage;
  settings.desk.maxWaitingPerHost = options.maxWaitingPerHost;
  settings.desk.policy.unseenAfterMs = options.escalateAfterUnseenSeconds * 1000;
  settings.desk.policy.unacknowledgedAfterMs = options.escalateAfterUnacknowledgedSeconds * 1000;
  settings.desk.policy.retentionDays = static_cast<int>(options.retentionDays);
  settings.maxConnectionsPerAddress = options.maxConnectionsPerAddress;
  return settings;
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

}  // namespace

int main(int argc, char** argv) {
  // Files the service creates (the database, its -wal and -shm) are for its owner only.
  ::umask(077);
  std::vector<std::string> arguments(argv + 1, argv + argc);
  if (!arguments.empty() && arguments[0] == "desk-user") {
    return runDeskUserCommand(std::vector<std::string>(arguments.begin() + 1, arguments.end()));
  }
  ReceptionOptions options;
  std::string error = parseOptions(arguments, options);
  if (!error.empty()) return fail(error);
  if (options.help) {
    std::fputs(receptionUsage, stdout);  // NOLINT(cert-err33-c): nowhere left to report to
    return 0;
  }
  if (!isUsableCodePage(options.codePage)) {
    return fail("the code page " + options.codePage + " is unknown to iconv or does not keep ASCII as it is");
  }
  ServiceSettings settings = serviceSettings(options);
  warnOfBuiltInKey(options, settings);

  if (!initAccounts()) return fail("libsodium could not start");

  sigset_t signals = stopSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  // Ports first, as root if need be; the database only as the --user.
  int listener = openListener(options.address, options.port, error);
  if (listener < 0) return fail(error);
  std::string certificate;
  std::string key;
  int tlsListener = openTlsListener(options, certificate, key, error);
  if (!error.empty()) return fail(error);
  if (!options.user.empty()) {
    error = dropPrivileges(options.user);
    if (!error.empty()) return fail(error);
  }
  error = refuseLinkedDatabase(options.database);
  if (!error.empty()) return fail(error);
  error = openStorage(options.database);
  if (!error.empty()) return fail(error);
  keepDatabasePrivate(options.database);
  if (options.demo) {
    seedDemoStaff();
    printDemoLogin();
  }
  DeskOrigin& origin = settings.origin;
  origin.hostNames = serviceHostNames(options.address, options.hostNames);
  origin.ports = {listeningPort(listener)};
  if (tlsListener >= 0) {
    origin.tlsPort = listeningPort(tlsListener);
    origin.ports.push_back(origin.tlsPort);
  }
  configureService(settings);
  if (!startHttpServer(listener, receptionServerSetup(), error) ||
      (tlsListener >= 0 && !startTlsServer(tlsListener, certificate, key, error))) {
    stopHttpServer();
    closeStorage();
    return fail(error);
  }
  if (tlsListener >= 0) {
    std::printf("vestibra-reception: the front desk is at https://%s:%u/\n",
                (options.tlsAddress.empty() ? options.address : options.tlsAddress).c_str(),
                static_cast<unsigned>(origin.tlsPort));
  }
  applyRetention(settings.desk.policy.retentionDays);
  // The readiness signal: scripts/service.sh and the test support wait for "listening on".
  std::printf("vestibra-reception: listening on http://%s:%u/ with the database %s\n", options.address.c_str(),
              static_cast<unsigned>(listeningPort(listener)), options.database.c_str());
  std::fflush(stdout);  // NOLINT(cert-err33-c): the service runs on whether or not its log is read

  waitForStop(signals, settings.desk.policy.retentionDays);
  stopHttpServer();
  closeStorage();
  std::printf("vestibra-reception: stopped\n");
  return 0;
}
