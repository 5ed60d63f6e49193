#include "store/page_recorder.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "store/clock.h"

namespace {

// As the delivery recorder: the desk's writes go first; a busy database is tried again shortly.
constexpr int recorderWaitMs = 200;
constexpr auto retryAfterFailure = std::chrono::milliseconds(500);
// Guests already written as seen, so that each heartbeat does not write them
// again; forgotten wholesale past this many (a write that matches nothing is harmless).
constexpr std::size_t maxRemembered = 4096;

struct Pending {
  std::map<std::int64_t, std::int64_t> openUntil;  // staff id -> until
  std::map<std::int64_t, std::int64_t> seenAt;     // guest id -> first sent to a page
};

std::mutex mutex;
std::condition_variable wake;
Pending pending;
std::map<std::int64_t, std::int64_t> renewedUntil;  // staff id -> the last until queued
std::set<std::int64_t> seenWritten;
bool stopping = false;

struct Recorder {
  std::thread thread;
  Recorder() = default;
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;
  ~Recorder() {
    if (!thread.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopping = true;
    }
    wake.notify_all();
    thread.join();
  }
};
Recorder recorder;

Outcome writePending(WriteTransaction& transaction, const Pending& batch) {
  if (!transaction.begun()) return transaction.beginOutcome();
  for (const auto& [staffId, until] : batch.openUntil) {
    Statement open = transaction.prepare(
        "UPDATE staff SET page_open_until = max(coalesce(page_open_until, 0), ?2) WHERE id = ?1");
    if (!open.bind(1, staffId).bind(2, until).run()) return transaction.fail("write of an open host page");
  }
  for (const auto& [id, at] : batch.seenAt) {
    Statement shown =
        transaction.prepare("UPDATE notification SET seen_on_page_at = ?2 WHERE id = ?1 AND seen_on_page_at IS NULL");
    if (!shown.bind(1, id).bind(2, at).run()) return transaction.fail("write of a guest seen on a host page");
  }
  // The commit tells live views, which re-read the guests and find them seen.
  return transaction.commit();
}

bool empty(const Pending& batch) { return batch.openUntil.empty() && batch.seenAt.empty(); }

void forgetWritten(const Pending& written) {
  for (const auto& [staffId, until] : written.openUntil) {
    auto kept = pending.openUntil.find(staffId);
    if (kept != pending.openUntil.end() && kept->second == until) pending.openUntil.erase(kept);
  }
  if (seenWritten.size() > maxRemembered) seenWritten.clear();
  for (const auto& [id, at] : written.seenAt) {
    pending.seenAt.erase(id);
    seenWritten.insert(id);
  }
}

// The transaction ends here, before the recorder's lock is taken again: its
// end tells the live views, whose fan-out may be waiting in notePageReached.
Outcome writeBatch(const Pending& batch) {
  WriteTransaction transaction(WriteTransaction::IfFree{});
  return writePending(transaction, batch);
}

void recordUntilStopped() {
  WriteWaitBudget budget(recorderWaitMs);
  std::unique_lock<std::mutex> lock(mutex);
  while (!stopping) {
    if (empty(pending)) {
      wake.wait(lock);
      continue;
    }
    Pending batch = pending;
    lock.unlock();
    Outcome written = writeBatch(batch);
    lock.lock();
    if (written == Outcome::ok) {
      forgetWritten(batch);
    } else {
      wake.wait_for(lock, retryAfterFailure, [] { return stopping; });
    }
  }
}

}  // namespace

void notePageReached(std::int64_t staffId, const std::map<std::int64_t, NotificationRow>& waiting,
                     std::int64_t openForMs) {
  std::int64_t now = currentTimeMs();
  std::lock_guard<std::mutex> lock(mutex);
  bool added = false;
  std::int64_t until = now + openForMs;
  std::int64_t& renewed = renewedUntil[staffId];
  if (until - renewed >= openForMs / 2) {
    renewed = until;
    pending.openUntil[staffId] = until;
    added = true;
  }
  for (const auto& [id, row] : waiting) {
    if (row.staffId != staffId || row.seenOnPageAt || seenWritten.count(id) != 0) continue;
    added = pending.seenAt.emplace(id, now).second || added;
  }
  if (!added) return;
  if (!recorder.thread.joinable()) {
    stopping = false;
    recorder.thread = std::thread(recordUntilStopped);
  }
  wake.notify_one();
}

void stopPageRecorder() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    stopping = true;
  }
  wake.notify_all();
  if (recorder.thread.joinable()) recorder.thread.join();
  Pending left;
  {
    std::lock_guard<std::mutex> lock(mutex);
    std::swap(left, pending);
    renewedUntil.clear();
    seenWritten.clear();
    stopping = false;
  }
  if (!empty(left) && databaseIsOpen()) {
    WriteTransaction transaction;
    writePending(transaction, left);
  }
}
