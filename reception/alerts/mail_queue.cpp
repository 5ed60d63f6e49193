#include "alerts/mail_queue.h"

#include "log/service_log.h"

void MailQueue::configure(const SmtpSettings& smtp) {
  std::lock_guard<std::mutex> lock(mutex_);
  smtp_ = smtp;
}

SmtpSettings MailQueue::settings() {
  std::lock_guard<std::mutex> lock(mutex_);
  return smtp_;
}

bool MailQueue::send(const std::string& to, std::string message) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (queue_.size() >= limit_) {
    logEvent(std::string(what_) + " was not mailed: too many are waiting to be sent");
    return false;
  }
  stopping_ = false;
  if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
  queue_.emplace_back(to, std::move(message));
  wake_.notify_one();
  return true;
}

void MailQueue::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void MailQueue::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;  // what was queued before the stop is still sent
    auto [to, message] = std::move(queue_.front());
    queue_.pop_front();
    SmtpSettings settings = smtp_;
    lock.unlock();
    SendOutcome sent = sendMail(settings, to, message);
    if (!sent.delivered) logEvent(std::string(what_) + " could not be mailed: " + sent.error);
    lock.lock();
  }
}
