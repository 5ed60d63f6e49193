#include "store/sqlite_changes.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "store/data_changes.h"
#include "store/database.h"

namespace {

struct Watcher {
  std::thread thread;
  std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;
  ~Watcher();
};
Watcher watcher;

// Waits one look's interval; false when stopping.
bool waitForNextLook() {
  std::unique_lock<std::mutex> lock(watcher.mutex);
  return !watcher.wake.wait_for(lock, std::chrono::milliseconds(sqliteLookIntervalMs), [] { return watcher.stopping; });
}

// The data version now; false when it could not be read (logged).
bool lookAt(std::int64_t& version) {
  ReadSession session;
  return session.dataVersion(version) == Outcome::ok;
}

void run(bool shared) {
  std::int64_t seen = 0;
  bool known = shared && lookAt(seen);
  while (waitForNextLook()) {
    std::int64_t version = 0;
    if (!shared) {
      tellLaggingListeners();
      continue;
    }
    if (!lookAt(version)) continue;  // logged; the next look tries again
    if (known && version == seen) {
      tellLaggingListeners();
      continue;
    }
    // A version never seen before (the first one read late) may hide a change as well.
    seen = version;
    known = true;
    dataChanged();
  }
}

}  // namespace

// A process that ends without closing its storage stops watching on the way out.
Watcher::~Watcher() { stopFileWatch(); }

void startFileWatch(bool shared) {
  stopFileWatch();
  std::lock_guard<std::mutex> lock(watcher.mutex);
  watcher.stopping = false;
  watcher.thread = std::thread(run, shared);
}

void stopFileWatch() {
  {
    std::lock_guard<std::mutex> lock(watcher.mutex);
    watcher.stopping = true;
  }
  watcher.wake.notify_all();
  if (watcher.thread.joinable()) watcher.thread.join();
}
