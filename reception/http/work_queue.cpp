#include "http/work_queue.h"

WorkQueue::WorkQueue(std::size_t threads, std::size_t bound) : threadCount_(threads), bound_(bound) {}

WorkQueue::~WorkQueue() { stop(); }

void WorkQueue::start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (running_) return;
  running_ = true;
  stopping_ = false;
  for (std::size_t i = 0; i < threadCount_; ++i) threads_.emplace_back([this] { serve(); });
}

bool WorkQueue::push(Job job, const std::function<void()>& whenAccepted) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_ || stopping_ || jobs_.size() >= bound_) return false;
    if (whenAccepted) whenAccepted();
    jobs_.push_back(std::move(job));
  }
  ready_.notify_one();
  return true;
}

void WorkQueue::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_) return;
    stopping_ = true;
  }
  ready_.notify_all();
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
  std::lock_guard<std::mutex> lock(mutex_);
  running_ = false;
}

void WorkQueue::serve() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    ready_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    if (jobs_.empty()) return;  // stopping, with nothing left to answer
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    bool stopping = stopping_;
    lock.unlock();
    job(stopping);
    lock.lock();
  }
}
