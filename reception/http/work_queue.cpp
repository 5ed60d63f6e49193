#include "http/work_queue.h"

WorkQueue::WorkQueue(std::size_t threads, std::size_t bound) : threadCount_(threads), bound_(bound) {}

WorkQueue::~WorkQueue() { stop(); }

void WorkQueue::start() { threads_.start(mutex_, threadCount_, [this] { serve(); }); }

bool WorkQueue::push(Job job, const std::function<void()>& whenAccepted) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!threads_.accepting() || jobs_.size() >= bound_) return false;
    if (whenAccepted) whenAccepted();
    jobs_.push_back(std::move(job));
  }
  ready_.notify_one();
  return true;
}

void WorkQueue::stop() { threads_.stop(mutex_, ready_); }

void WorkQueue::serve() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    ready_.wait(lock, [this] { return threads_.stopping() || !jobs_.empty(); });
    if (jobs_.empty()) return;  // stopping, with nothing left to answer
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    bool stopping = threads_.stopping();
    lock.unlock();
    job(stopping);
    lock.lock();
  }
}
