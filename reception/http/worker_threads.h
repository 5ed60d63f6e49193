// The life of a work queue's threads, which every queue of the server shares:
// started once, told to stop, woken and joined. The flags are guarded by the
// queue's own mutex, and the queue's condition variable wakes its threads.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class WorkerThreads {
 public:
  WorkerThreads() = default;
  WorkerThreads(const WorkerThreads&) = delete;
  WorkerThreads& operator=(const WorkerThreads&) = delete;

  // Starts count threads running serve, unless they run already.
  void start(std::mutex& mutex, std::size_t count, const std::function<void()>& serve);
  // Whether new jobs are taken: running and not stopping. With the mutex held.
  bool accepting() const { return running_ && !stopping_; }
  // Whether the threads are told to stop. With the mutex held.
  bool stopping() const { return stopping_; }
  // Tells the threads to stop, wakes them and waits for them to end; they
  // finish what is queued first, each queue in its own way.
  void stop(std::mutex& mutex, std::condition_variable& ready);

 private:
  bool running_ = false;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};
