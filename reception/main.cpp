// vestibra-reception: the reception service Vestibra notifiers poll, with the
// front desk page. Runs until SIGINT or SIGTERM.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "code_page.h"
#include "config_file.h"
#include "front_desk_api.h"
#include "front_desk_policy.h"
#include "notifier_api.h"
#include "options.h"
#include "reception.h"
#include "reception_client.h"
#include "storage.h"

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
void waitForStop(const sigset_t& signals) {
  constexpr time_t dayInSeconds = time_t{24} * 60 * 60;
  for (;;) {
    timespec day{dayInSeconds, 0};
    if (sigtimedwait(&signals, nullptr, &day) >= 0) return;
    if (errno == EAGAIN) applyRetention();
  }
}

}  // namespace

int main(int argc, char** argv) {
  ReceptionOptions options;
  std::string error = parseOptions(std::vector<std::string>(argv + 1, argv + argc), options);
  if (!error.empty()) return fail(error);
  if (options.help) {
    std::fputs(receptionUsage, stdout);  // NOLINT(cert-err33-c): nowhere left to report to
    return 0;
  }
  if (!isUsableCodePage(options.codePage)) {
    return fail("the code page " + options.codePage + " is unknown to iconv or does not keep ASCII as it is");
  }
  notifierCodePage = options.codePage;
  receptionAccessKey = options.key.empty() ? accessKey : options.key;
  maxConnectionsPerAddress = options.maxConnectionsPerAddress;
  maxWaitingPerHost = options.maxWaitingPerHost;
  frontDeskPolicy.unseenAfterMs = options.escalateAfterUnseenSeconds * 1000;
  frontDeskPolicy.unacknowledgedAfterMs = options.escalateAfterUnacknowledgedSeconds * 1000;
  frontDeskPolicy.retentionDays = static_cast<int>(options.retentionDays);

  sigset_t signals = stopSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  error = openStorage(options.database);
  if (!error.empty()) return fail(error);
  if (options.demo) seedDemoStaff();
  int listener = openListener(options.address, options.port, error);
  if (listener < 0 || !startHttpServer(listener, &handleReceptionRequest, error)) {
    closeStorage();
    return fail(error);
  }
  // The readiness signal: scripts/service.sh and the test support wait for "listening on".
  applyRetention();
  std::printf("vestibra-reception: listening on http://%s:%u/ with the database %s\n", options.address.c_str(),
              static_cast<unsigned>(listeningPort(listener)), options.database.c_str());
  std::fflush(stdout);  // NOLINT(cert-err33-c): the service runs on whether or not its log is read

  waitForStop(signals);
  stopHttpServer();
  closeStorage();
  std::printf("vestibra-reception: stopped\n");
  return 0;
}
