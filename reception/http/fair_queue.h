// The password hasher's queue: one thread at a lower priority, at most one
// job waiting per client address, and the next job taken from the address
// whose jobs failed least of late. A flood of wrong passwords from one
// address, or from many that keep sending, then delays a newcomer by a few
// hashes at most.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "http/worker_threads.h"

class FairQueue {
 public:
  // A job learns whether it is refused (the queue stops, or a newcomer with
  // a fairer claim took its place), to answer quickly then. It returns
  // whether it counts against its address's share: a failed login does, a
  // correct one does not.
  using Job = std::function<bool(bool refused)>;
  enum class Push { accepted, alreadyWaiting, full };

  // Whether a key is one the service knows (the desk's own PCs): such a
  // key, unless it has failed often of late, has places of its own beyond
  // the bound and goes before the others.
  using Preferred = bool (*)(const std::string& key);

  // bound: jobs that may wait in all; nice: the thread's scheduling priority.
  FairQueue(std::size_t bound, int nice);
  // Before start; none: no key is preferred.
  void setPreferred(Preferred preferred);
  ~FairQueue();
  FairQueue(const FairQueue&) = delete;
  FairQueue& operator=(const FairQueue&) = delete;

  void start();
  // whenAccepted runs before the thread can take the job (to suspend the
  // connection it answers). A full queue makes room by refusing the waiting
  // job of the address with the largest share, when that is clearly more than key's.
  Push push(const std::string& key, Job job, const std::function<void()>& whenAccepted = {});
  // Refuses what waits and ends the thread.
  void stop();

 private:
  using Clock = std::chrono::steady_clock;
  struct Waiting {
    std::string key;
    Job job;
    std::uint64_t order;
    bool preferred;
  };
  struct Usage {
    double amount = 0;  // jobs that counted, halved every usageHalfLifeSeconds
    Clock::time_point at;
  };

  double usageOf(const std::string& key, Clock::time_point now) const;
  void noteServed(const std::string& key, Clock::time_point now);
  std::size_t nextIndex(Clock::time_point now) const;
  // The waiting job to refuse for a newcomer from key, or npos.
  std::size_t evictionIndex(const std::string& key, Clock::time_point now) const;
  void serve();

  bool isPreferred(const std::string& key, Clock::time_point now) const;

  std::size_t bound_;
  int nice_;
  Preferred preferred_ = nullptr;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::vector<Waiting> waiting_;
  std::unordered_map<std::string, Usage> usage_;
  std::uint64_t nextOrder_ = 0;
  WorkerThreads thread_;  // one
};
