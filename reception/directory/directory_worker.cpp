#include "directory/directory_worker.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>

#include "directory/directory_result_json.h"
#include "store/clock.h"
#include "store/directory_sync_state.h"
#include "store/leadership.h"
#include "store/token_hash.h"
#include "text/utf8.h"
#include "text/log_stamp.h"

namespace {

struct Worker {
  std::mutex mutex;
  std::condition_variable wake;
  std::thread thread;
  DirectoryOptions options;
  DirectoryWorkerSettings settings;
  std::string instance;  // this process's token on the marks it sets in the database
  std::optional<SyncRequest> pending;  // taken here, its queued mark set
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
  std::fprintf(fine ? stdout : stderr, "%svestibra-reception: directory %s by %s: %s\n", logStamp().c_str(),
               request.dryRun ? "preview" : "sync", escapedControls(request.by).c_str(),
               escapedControls(resultLine(result)).c_str());
  std::fflush(fine ? stdout : stderr);  // NOLINT(cert-err33-c)
}

struct Job {
  SyncRequest request;
  bool fromQueue = false;  // a request this instance took, not the schedule
};

// The next request, or the scheduled sync when its time comes; nothing when stopping.
// Instances on one database: only the leader syncs on schedule; the others
// look again every few seconds, to take over should it stop leading.
std::optional<Job> nextJob(std::unique_lock<std::mutex>& lock, std::chrono::steady_clock::time_point& due) {
  Worker& worker = theWorker();
  auto ready = [&worker] { return worker.stopping || worker.pending.has_value(); };
  if (worker.options.syncMinutes > 0) {
    while (!worker.wake.wait_until(lock, due, ready)) {
      if (isLeader()) {
        due = std::chrono::steady_clock::now() + std::chrono::minutes(worker.options.syncMinutes);
        return Job{SyncRequest{false, false, "(scheduled)", ""}, false};
      }
      due = std::chrono::steady_clock::now() + std::chrono::milliseconds(leaderRetryMs);
    }
  } else {
    worker.wake.wait(lock, ready);
  }
  if (worker.stopping) return std::nullopt;
  Job job{std::move(*worker.pending), true};
  worker.pending.reset();
  return job;
}

// Waits a while before trying the database again; false once stopping.
bool pauseUnlessStopping(std::unique_lock<std::mutex>& lock) {
  Worker& worker = theWorker();
  return !worker.wake.wait_for(lock, std::chrono::milliseconds(leaderRetryMs), [&worker] { return worker.stopping; });
}

// Marks the job running once no other instance's sync runs (a request
// waits for it, as for one of this instance), or the database answers
// again; false when stopping first.
bool startWhenFree(std::unique_lock<std::mutex>& lock, const Job& job) {
  Worker& worker = theWorker();
  for (;;) {
    lock.unlock();
    Outcome started = startDirectorySync(worker.instance, job.request.by, job.fromQueue, currentTimeMs());
    lock.lock();
    if (started == Outcome::ok) return true;
    if (!pauseUnlessStopping(lock)) return false;
  }
}

// Keeps the result and clears the running mark, whatever the result; tried
// again while the database does not answer, until stopping.
void saveResult(std::unique_lock<std::mutex>& lock, const Job& job, const DirectorySyncResult& result) {
  Worker& worker = theWorker();
  std::string text = directoryResultJson(result);
  for (;;) {
    lock.unlock();
    Outcome saved = finishDirectorySync(worker.instance, job.request.by, job.request.dryRun, text, result.at);
    lock.lock();
    if (saved == Outcome::ok || !pauseUnlessStopping(lock)) return;
  }
}

void runWorker() {
  Worker& worker = theWorker();
  // A scheduled sync starts with the service, so new staff need not wait a whole period.
  auto due = std::chrono::steady_clock::now();
  std::unique_lock<std::mutex> lock(worker.mutex);
  for (;;) {
    std::optional<Job> job = nextJob(lock, due);
    if (!job || !startWhenFree(lock, *job)) break;
    DirectoryOptions options = worker.options;
    lock.unlock();
    DirectorySyncResult result = runSync(options, job->request);
    logResult(result, job->request);
    lock.lock();
    saveResult(lock, *job, result);
  }
  lock.unlock();
  // A request taken here and not run is dropped with its mark, so that it
  // holds up no other instance; failing that, the mark lapses.
  clearDirectorySyncMarks(worker.instance);
}

}  // namespace

void startDirectoryWorker(const DirectoryOptions& options) {
  Worker& worker = theWorker();
  std::lock_guard<std::mutex> lock(worker.mutex);
  if (options.url.empty() || worker.thread.joinable()) return;
  worker.options = options;
  worker.settings = DirectoryWorkerSettings{true, options.syncMinutes};
  worker.instance = randomHex(8);
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
  worker.settings = DirectoryWorkerSettings{};
  worker.pending.reset();
}

SyncQueued requestDirectorySync(const SyncRequest& request) {
  Worker& worker = theWorker();
  {
    // Held while the mark is written, so that the worker cannot stop
    // between the mark and the request it stands for.
    std::lock_guard<std::mutex> lock(worker.mutex);
    if (!worker.settings.configured || worker.stopping) return SyncQueued::notConfigured;
    if (worker.pending) return SyncQueued::alreadyQueued;
    switch (queueDirectorySync(worker.instance, request.by, currentTimeMs())) {
      case Outcome::ok: break;
      case Outcome::conflict: return SyncQueued::alreadyQueued;
      case Outcome::busy:
      case Outcome::unreachable: return SyncQueued::busy;
      default: return SyncQueued::failed;
    }
    worker.pending = request;
  }
  worker.wake.notify_all();
  return SyncQueued::queued;
}

DirectoryWorkerSettings directoryWorkerSettings() {
  Worker& worker = theWorker();
  std::lock_guard<std::mutex> lock(worker.mutex);
  return worker.settings;
}
