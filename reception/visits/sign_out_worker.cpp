#include "visits/sign_out_worker.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "store/leadership.h"
#include "store/visits.h"
#include "text/log_stamp.h"
#include "text/text.h"

namespace {

struct SignOutWorker {
  std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;
  std::thread thread;
};

SignOutWorker& worker() {
  static SignOutWorker instance;
  return instance;
}

void signOutThoseLeft() {
  std::int64_t count = 0;
  Outcome done = signOutEveryone("automatic", count);
  // NOLINTBEGIN(cert-err33-c): the service runs on whether or not its log is read
  if (done == Outcome::ok) {
    std::printf("%svestibra-reception: signed out %s still on site\n", logStamp().c_str(),
                counted(count, "visit", "visits").c_str());
  } else {
    std::fprintf(stderr, "%svestibra-reception: the visits still on site could not be signed out\n", logStamp().c_str());
  }
  std::fflush(stdout);
  // NOLINTEND(cert-err33-c)
}

void run(int minute) {
  SignOutWorker& self = worker();
  std::unique_lock<std::mutex> lock(self.mutex);
  while (!self.stopping) {
    auto due = std::chrono::system_clock::from_time_t(nextLocalMinute(std::time(nullptr), minute));
    if (self.wake.wait_until(lock, due, [&] { return self.stopping; })) break;
    if (std::chrono::system_clock::now() < due) continue;
    // Instances on one database: the leader signs out for them all.
    if (!isLeader()) continue;
    lock.unlock();
    signOutThoseLeft();
    lock.lock();
  }
}

}  // namespace

std::time_t nextLocalMinute(std::time_t after, int minute) {
  std::tm local{};
  localtime_r(&after, &local);
  // mktime settles each candidate day's offset, so a change of summer time is followed.
  for (int day = 0; day < 3; ++day) {
    std::tm candidate = local;
    candidate.tm_mday += day;
    candidate.tm_hour = minute / 60;
    candidate.tm_min = minute % 60;
    candidate.tm_sec = 0;
    candidate.tm_isdst = -1;
    std::time_t at = std::mktime(&candidate);
    if (at > after) return at;
  }
  return after + std::time_t{24} * 60 * 60;
}

void startSignOutWorker(int minute) {
  if (minute < 0) return;
  SignOutWorker& self = worker();
  {
    std::lock_guard<std::mutex> lock(self.mutex);
    self.stopping = false;
  }
  self.thread = std::thread(run, minute);
}

void stopSignOutWorker() {
  SignOutWorker& self = worker();
  if (!self.thread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(self.mutex);
    self.stopping = true;
  }
  self.wake.notify_all();
  self.thread.join();
}
