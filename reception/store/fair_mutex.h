// A lock granted in the order it was asked for. A database connection's
// users may each hold it for seconds while they wait for another process's
// lock; with a plain mutex a thread that writes again at once could take it
// back every time, and one waiting (a notifier's archive) never got a turn.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

class FairMutex {
 public:
  void lock() {
    std::unique_lock<std::mutex> guard(mutex_);
    std::uint64_t ticket = next_++;
    if (serving_ == ticket) return;
    ++waiting_;
    turn_.wait(guard, [&] { return serving_ == ticket; });
    --waiting_;
  }
  bool try_lock() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (serving_ != next_) return false;
    ++next_;
    return true;
  }
  void unlock() {
    std::unique_lock<std::mutex> guard(mutex_);
    ++serving_;
    bool anyWaiting = waiting_ > 0;
    guard.unlock();
    if (anyWaiting) turn_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable turn_;
  std::uint64_t next_ = 0;     // the ticket the next caller takes
  std::uint64_t serving_ = 0;  // the ticket that holds the lock, or may take it
  unsigned waiting_ = 0;       // callers asleep in lock()
};
