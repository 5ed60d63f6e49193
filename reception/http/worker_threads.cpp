#include "http/worker_threads.h"

void WorkerThreads::start(std::mutex& mutex, std::size_t count, const std::function<void()>& serve) {
  std::lock_guard<std::mutex> lock(mutex);
  if (running_) return;
  running_ = true;
  stopping_ = false;
  for (std::size_t i = 0; i < count; ++i) threads_.emplace_back(serve);
}

void WorkerThreads::stop(std::mutex& mutex, std::condition_variable& ready) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (!running_) return;
    stopping_ = true;
  }
  ready.notify_all();
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
  std::lock_guard<std::mutex> lock(mutex);
  running_ = false;
}
