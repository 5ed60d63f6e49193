#include "http/fair_queue.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cmath>

namespace {

constexpr double usageHalfLifeSeconds = 60;
// Beyond this many addresses, those whose usage has all but decayed are forgotten.
constexpr std::size_t pruneAboveKeys = 4096;
constexpr double forgottenUsage = 0.05;
constexpr std::size_t none = static_cast<std::size_t>(-1);
// Places beyond the bound that only preferred keys may take.
constexpr std::size_t reservedPlaces = 4;
// A preferred key that failed this often of late (decayed) waits like any other.
constexpr double preferredBelowUsage = 3;

}  // namespace

FairQueue::FairQueue(std::size_t bound, int nice) : bound_(bound), nice_(nice) {}

FairQueue::~FairQueue() { stop(); }

void FairQueue::setPreferred(Preferred preferred) {
  std::lock_guard<std::mutex> lock(mutex_);
  preferred_ = preferred;
}

bool FairQueue::isPreferred(const std::string& key, Clock::time_point now) const {
  return preferred_ != nullptr && usageOf(key, now) < preferredBelowUsage && preferred_(key);
}

void FairQueue::start() { thread_.start(mutex_, 1, [this] { serve(); }); }

double FairQueue::usageOf(const std::string& key, Clock::time_point now) const {
  auto found = usage_.find(key);
  if (found == usage_.end()) return 0;
  double seconds = std::chrono::duration<double>(now - found->second.at).count();
  return found->second.amount * std::exp2(-seconds / usageHalfLifeSeconds);
}

void FairQueue::noteServed(const std::string& key, Clock::time_point now) {
  if (usage_.size() > pruneAboveKeys) {
    for (auto entry = usage_.begin(); entry != usage_.end();) {
      entry = usageOf(entry->first, now) < forgottenUsage ? usage_.erase(entry) : std::next(entry);
    }
  }
  usage_[key] = Usage{usageOf(key, now) + 1, now};
}

std::size_t FairQueue::nextIndex(Clock::time_point now) const {
  std::size_t best = none;
  double bestUsage = 0;
  for (std::size_t i = 0; i < waiting_.size(); ++i) {
    double usage = usageOf(waiting_[i].key, now);
    // Preferred keys first; then the least usage; ties go to the one that came first.
    bool before = best == none || (waiting_[i].preferred && !waiting_[best].preferred) ||
                  (waiting_[i].preferred == waiting_[best].preferred &&
                   (usage < bestUsage || (usage == bestUsage && waiting_[i].order < waiting_[best].order)));
    if (before) {
      best = i;
      bestUsage = usage;
    }
  }
  return best;
}

std::size_t FairQueue::evictionIndex(const std::string& key, Clock::time_point now) const {
  std::size_t worst = none;
  // Only an address with clearly more failures gives way: about one more, as it decays.
  double worstUsage = usageOf(key, now) + 0.5;
  for (std::size_t i = 0; i < waiting_.size(); ++i) {
    if (waiting_[i].preferred) continue;  // its place is reserved
    double usage = usageOf(waiting_[i].key, now);
    if (usage > worstUsage) {
      worst = i;
      worstUsage = usage;
    }
  }
  return worst;
}

FairQueue::Push FairQueue::push(const std::string& key, Job job, const std::function<void()>& whenAccepted) {
  Job refused;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!thread_.accepting()) return Push::full;
    for (const Waiting& waiting : waiting_) {
      if (waiting.key == key) return Push::alreadyWaiting;
    }
    Clock::time_point now = Clock::now();
    bool preferred = isPreferred(key, now);
    bool reservedPlaceFree = preferred && waiting_.size() < bound_ + reservedPlaces;
    if (waiting_.size() >= bound_ && !reservedPlaceFree) {
      std::size_t evicted = evictionIndex(key, now);
      if (evicted == none) return Push::full;
      refused = std::move(waiting_[evicted].job);
      waiting_.erase(waiting_.begin() + static_cast<std::ptrdiff_t>(evicted));
    }
    if (whenAccepted) whenAccepted();
    waiting_.push_back(Waiting{key, std::move(job), nextOrder_++, preferred});
  }
  ready_.notify_one();
  if (refused) refused(true);
  return Push::accepted;
}

void FairQueue::stop() { thread_.stop(mutex_, ready_); }

void FairQueue::serve() {
  // This thread only, on Linux: under load the daemon's threads go first.
  if (nice_ != 0) ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), nice_);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    ready_.wait(lock, [this] { return thread_.stopping() || !waiting_.empty(); });
    if (waiting_.empty()) return;  // stopping, with nothing left to answer
    bool refused = thread_.stopping();
    std::size_t next = refused ? 0 : nextIndex(Clock::now());
    Waiting taken = std::move(waiting_[next]);
    waiting_.erase(waiting_.begin() + static_cast<std::ptrdiff_t>(next));
    lock.unlock();
    bool counts = taken.job(refused);
    lock.lock();
    if (counts) noteServed(taken.key, Clock::now());
  }
}
