#include "store/delivery_recorder.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>


namespace {

// A delivery time is worth little against the desk's writes: the recorder
// takes the write connection only when it is free, waits briefly for
// another process's lock, and else tries again a little later.
constexpr int recorderWaitMs = 200;
constexpr auto retryAfterFailure = std::chrono::milliseconds(500);

std::mutex mutex;
std::condition_variable wake;
std::map<std::int64_t, std::int64_t> pending;  // guest id -> shown at
bool stopping = false;

// Ended at exit too, should the store never have been closed: a thread
// still joinable then would end the process with std::terminate.
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

// Writes when each guest (id -> time) was first delivered, in one transaction.
Outcome writeDeliveries(WriteTransaction& transaction, const std::map<std::int64_t, std::int64_t>& shownAt) {
  if (!transaction.begun()) return transaction.beginOutcome();
  for (const auto& delivery : shownAt) {
    if (!writeDelivery(transaction, delivery.first, delivery.second)) return transaction.fail("write of a delivery");
  }
  return transaction.commit();
}

Outcome recordDeliveries(const std::map<std::int64_t, std::int64_t>& shownAt) {
  WriteTransaction transaction;
  return writeDeliveries(transaction, shownAt);
}

// Busy at once when another write of this process is under way.
Outcome recordDeliveriesIfFree(const std::map<std::int64_t, std::int64_t>& shownAt) {
  WriteTransaction transaction(WriteTransaction::IfFree{});
  return writeDeliveries(transaction, shownAt);
}

void forgetWritten(const std::map<std::int64_t, std::int64_t>& written) {
  for (const auto& delivery : written) {
    auto kept = pending.find(delivery.first);
    if (kept != pending.end() && kept->second == delivery.second) pending.erase(kept);
  }
}

void recordUntilStopped() {
  WriteWaitBudget budget(recorderWaitMs);
  std::unique_lock<std::mutex> lock(mutex);
  while (!stopping) {
    if (pending.empty()) {
      wake.wait(lock);
      continue;
    }
    std::map<std::int64_t, std::int64_t> batch = pending;
    lock.unlock();
    Outcome written = recordDeliveriesIfFree(batch);
    lock.lock();
    if (written == Outcome::ok) {
      forgetWritten(batch);
    } else {
      wake.wait_for(lock, retryAfterFailure, [] { return stopping; });
    }
  }
}

}  // namespace

void noteDeliveries(const std::vector<std::int64_t>& ids, std::int64_t at) {
  std::lock_guard<std::mutex> lock(mutex);
  bool added = false;
  for (std::int64_t id : ids) added = pending.emplace(id, at).second || added;
  if (!added) return;  // already on their way
  if (!recorder.thread.joinable()) {
    stopping = false;
    recorder.thread = std::thread(recordUntilStopped);
  }
  wake.notify_one();
}

std::optional<std::int64_t> pendingDelivery(std::int64_t id) {
  std::lock_guard<std::mutex> lock(mutex);
  auto found = pending.find(id);
  if (found == pending.end()) return std::nullopt;
  return found->second;
}

bool writeDelivery(WriteTransaction& transaction, std::int64_t id, std::int64_t shownAt) {
  Statement deliver =
      transaction.prepare("UPDATE notification SET delivered_at = ?2 WHERE id = ?1 AND delivered_at IS NULL");
  return deliver.bind(1, id).bind(2, shownAt).run();
}

bool writePendingDelivery(WriteTransaction& transaction, std::int64_t id) {
  std::optional<std::int64_t> shownAt = pendingDelivery(id);
  return !shownAt || writeDelivery(transaction, id, *shownAt);
}

void stopDeliveryRecorder() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    stopping = true;
  }
  wake.notify_all();
  if (recorder.thread.joinable()) recorder.thread.join();
  std::map<std::int64_t, std::int64_t> left;
  {
    std::lock_guard<std::mutex> lock(mutex);
    left.swap(pending);
    stopping = false;
  }
  if (!left.empty() && databaseIsOpen()) recordDeliveries(left);
}
