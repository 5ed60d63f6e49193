#include "visits/erase_rewriter.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "store/erase.h"
#include "store/leadership.h"

namespace {

constexpr auto checkInterval = std::chrono::seconds(30);
// A rewrite that failed (a table held by a long transaction) is tried again after this.
constexpr auto retryAfterFailure = std::chrono::minutes(10);

struct EraseRewriter {
  std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;
  std::thread thread;
};

EraseRewriter& rewriter() {
  static EraseRewriter instance;
  return instance;
}

void run() {
  EraseRewriter& self = rewriter();
  std::unique_lock<std::mutex> lock(self.mutex);
  std::chrono::seconds wait = checkInterval;
  while (!self.wake.wait_for(lock, wait, [&] { return self.stopping; })) {
    // Instances on one database: the leader rewrites for them all.
    if (!databaseOnPostgres() || !isLeader()) continue;
    lock.unlock();
    Outcome done = rewriteAfterErase("(service)");
    lock.lock();
    wait = done == Outcome::ok ? checkInterval : std::chrono::duration_cast<std::chrono::seconds>(retryAfterFailure);
  }
}

}  // namespace

void startEraseRewriter() {
  EraseRewriter& self = rewriter();
  {
    std::lock_guard<std::mutex> lock(self.mutex);
    self.stopping = false;
  }
  self.thread = std::thread(run);
}

void stopEraseRewriter() {
  EraseRewriter& self = rewriter();
  if (!self.thread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(self.mutex);
    self.stopping = true;
  }
  self.wake.notify_all();
  self.thread.join();
}
