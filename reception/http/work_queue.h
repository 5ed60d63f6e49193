// Requests answered off the daemon's threads: a queue of jobs with a bound,
// served by a few threads of its own. A full queue refuses at once (the
// caller answers 503): a longer queue only makes clients time out.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

#include "http/worker_threads.h"

class WorkQueue {
 public:
  // A job learns whether the queue is stopping, to answer quickly then.
  using Job = std::function<void(bool stopping)>;

  // threads: how many serve the queue; bound: jobs that may wait.
  WorkQueue(std::size_t threads, std::size_t bound);
  ~WorkQueue();
  WorkQueue(const WorkQueue&) = delete;
  WorkQueue& operator=(const WorkQueue&) = delete;

  void start();
  // False when the queue is full or not running. whenAccepted runs before
  // any thread can take the job (to suspend the connection it answers).
  bool push(Job job, const std::function<void()>& whenAccepted = {});
  // Runs what is queued (telling each job it is stopping) and ends the threads.
  void stop();

 private:
  void serve();

  std::size_t threadCount_;
  std::size_t bound_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Job> jobs_;
  WorkerThreads threads_;
};
