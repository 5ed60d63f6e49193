#include "directory/directory_worker.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "store/clock.h"
#include "store/leadership.h"
#include "text/utf8.h"

namespace {

struct Worker {
  std::mutex mutex;
  std::condition_variable wake;
  std::thread thread;
  DirectoryOptions options;
  DirectoryWorkerState state;
  std::optional<SyncRequest> pending;
  bool stopping = false;
};

// Made on first use: its members' construction may throw, which a global's could not report.
Worker& theWorker() {
  static Worker worker;
  return worker;
}

// Reads the options' password file afresh each time, so a changed password needs no restart.
DirectorySyncResult runSync(const DirectoryOptions& options, const SyncRequest& request) {
  LdapSettings settings;
  std::string error = ldapSettingsFrom(options, settings);
  if (error.empty()) return syncDirectory(settings, request);
  DirectorySyncResult result;
  result.outcome = DirectorySyncOutcome::unreachable;
  result.reason = error;
  result.dryRun = request.dryRun;
  result.at = currentTimeMs();
  return result;
}

void logResult(const DirectorySyncResult& result, const SyncRequest& request) {
  bool fine = result.outcome == DirectorySyncOutcome::applied || result.outcome == DirectorySyncOutcome::previewed;
  // NOLINTNEXTLINE(cert-err33-c): the service runs on whether or not its log is read
  std::fprintf(fine ? stdout : stderr, "vestibra-reception: directory %s by %s: %s\n",
               request.dryRun ? "preview" : "sync", escapedControls(request.by).c_str(),
               escapedControls(resultLine(result)).c_str());
  std::fflush(fine ? stdout : stderr);  // NOLINT(cert-err33-c)
}

// The next request, or the scheduled sync when its time comes; nothing when stopping.
// Instances on one database: only the leader syncs on schedule; the others
// look again every few seconds, to take over should it stop leading.
std::optional<SyncRequest> nextSync(std::unique_lock<std::mutex>& lock, std::chrono::steady_clock::time_point& due) {
  Worker& worker = theWorker();
  auto ready = [&worker] { return worker.stopping || worker.pending.has_value(); };
  if (worker.options.syncMinutes > 0) {
    while (!worker.wake.wait_until(lock, due, ready)) {
      if (isLeader()) {
        due = std::chrono::steady_clock::now() + std::chrono::minutes(worker.options.syncMinutes);
        return SyncRequest{false, false, "(scheduled)", ""};
      }
      due = std::chrono::steady_clock::now() + std::chrono::milliseconds(leaderRetryMs);
    }
  } else {
    worker.wake.wait(lock, ready);
  }
  if (worker.stopping) return std::nullopt;
  std::optional<SyncRequest> request = std::move(worker.pending);
  worker.pending.reset();
  return request;
}

void runWorker() {
  Worker& worker = theWorker();
  // A scheduled sync starts with the service, so new staff need not wait a whole period.
  auto due = std::chrono::steady_clock::now();
  std::unique_lock<std::mutex> lock(worker.mutex);
  for (;;) {
    std::optional<SyncRequest> request = nextSync(lock, due);
    if (!request) return;
    worker.state.queued = false;
    worker.state.running = true;
    DirectoryOptions options = worker.options;
    lock.unlock();
    DirectorySyncResult result = runSync(options, *request);
    logResult(result, *request);
    lock.lock();
    worker.state.running = false;
    (request->dryRun ? worker.state.lastPreview : worker.state.lastSync) = std::move(result);
  }
}

}  // namespace

void startDirectoryWorker(const DirectoryOptions& options) {
  Worker& worker = theWorker();
  std::lock_guard<std::mutex> lock(worker.mutex);
  if (options.url.empty() || worker.thread.joinable()) return;
  worker.options = options;
  worker.state = DirectoryWorkerState{};
  worker.state.configured = true;
  worker.state.syncMinutes = options.syncMinutes;
  worker.pending.reset();
  worker.stopping = false;
  worker.thread = std::thread(runWorker);
}

void stopDirectoryWorker() {
  Worker& worker = theWorker();
  {
    std::lock_guard<std::mutex> lock(worker.mutex);
    if (!worker.thread.joinable()) return;
    worker.stopping = true;
  }
  worker.wake.notify_all();
  worker.thread.join();
  std::lock_guard<std::mutex> lock(worker.mutex);
  worker.state = DirectoryWorkerState{};
}

SyncQueued requestDirectorySync(const SyncRequest& request) {
  Worker& worker = theWorker();
  {
    std::lock_guard<std::mutex> lock(worker.mutex);
    if (!worker.state.configured) return SyncQueued::notConfigured;
    if (worker.pending) return SyncQueued::alreadyQueued;
    worker.pending = request;
    worker.state.queued = true;
  }
  worker.wake.notify_all();
  return SyncQueued::queued;
}

DirectoryWorkerState directoryWorkerState() {
  Worker& worker = theWorker();
  std::lock_guard<std::mutex> lock(worker.mutex);
  return worker.state;
}
