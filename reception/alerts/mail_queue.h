// Mails sent one after another on a thread of their own, so that no request
// waits for the mail server. A queue holds at most `limit` mails; beyond
// that a mail is dropped and logged rather than memory growing without end.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "alerts/alert_sender.h"

class MailQueue {
 public:
  // what: how the log names a mail of this queue ("a sign-in link").
  MailQueue(const char* what, std::size_t limit) : what_(what), limit_(limit) {}
  ~MailQueue() { stop(); }
  MailQueue(const MailQueue&) = delete;
  MailQueue& operator=(const MailQueue&) = delete;

  void configure(const SmtpSettings& smtp);
  SmtpSettings settings();
  // Queues the message (false and logged when the queue is full).
  bool send(const std::string& to, std::string message);
  // Sends what is queued (each send is bounded by the SMTP timeout), then ends the thread.
  void stop();

 private:
  void run();

  const char* what_;
  std::size_t limit_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::pair<std::string, std::string>> queue_;  // to, message
  SmtpSettings smtp_;
  std::thread thread_;
  bool stopping_ = false;
};
