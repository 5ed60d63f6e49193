// Sends alerts with libcurl: JSON POSTs to webhooks and messages over SMTP,
// many at once on one multi handle, each bounded by its own time-out.
// Blocking; called from the alert worker only.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "alerts/alert_policy.h"
#include "rules/target_rule.h"

struct SmtpSettings {
  std::string url;        // smtp://HOST[:PORT] or smtps://HOST[:PORT]; "" when mail is off
  bool requireTls = true; // --smtp-tls starttls: refuse to send without STARTTLS
  std::string user;
  std::string password;   // read from --smtp-password-file; never logged
  std::string from;
  std::string caFile;
};

constexpr long sendTimeoutMs = 10000;

// One prepared send.
struct Transfer;
struct TransferDeleter {
  void operator()(Transfer* transfer) const;
};
using TransferPtr = std::unique_ptr<Transfer, TransferDeleter>;

// Once per process, before the worker starts.
bool initAlertSender();
// Every address the URL's name resolves to is checked
// against rule just before connecting; a refused one fails the send for good.
TransferPtr webhookTransfer(const std::string& url, const std::string& body, const std::string& idempotencyKey,
                            const AlertTargetRule& rule, long timeoutMs = sendTimeoutMs);
TransferPtr mailTransfer(const SmtpSettings& smtp, const std::string& to, const std::string& message,
                         long timeoutMs = sendTimeoutMs);
using SendDone = std::function<void(std::int64_t, const SendOutcome&)>;

// Sends that never wait for the slowest: transfers join one libcurl multi
// handle whenever they come due and each reports as it ends. At most
// perTarget run at once for one target (a push address's server), so a target
// that never answers holds up only its own sends, never those to others.
class SendLane {
 public:
  SendLane(std::size_t maxRunning, std::size_t perTarget);
  ~SendLane();
  SendLane(const SendLane&) = delete;
  SendLane& operator=(const SendLane&) = delete;

  std::size_t size() const;
  bool running(std::int64_t id) const;
  // Whether one more send to target may start now.
  bool hasRoomFor(const std::string& target) const;
  void add(std::int64_t id, const std::string& target, TransferPtr transfer);
  // Drives the transfers, waiting at most waitMs for one to move; done(id,
  // outcome) for each that ended.
  void step(int waitMs, const SendDone& done);
  // Drops every transfer without an outcome: the service stops, they stay due.
  void abandon();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Runs the transfers side by side; done(index, outcome) as each ends, so a
// slow one holds up no other's result. Returns when all have ended, or soon
// after stop is set: those still running then are left without an outcome.
void performAll(std::vector<TransferPtr>& transfers, const std::function<void(std::size_t, const SendOutcome&)>& done,
                const std::atomic<bool>* stop = nullptr);

// One send, for callers with a single message.
SendOutcome postWebhook(const std::string& url, const std::string& body, const std::string& idempotencyKey,
                        const AlertTargetRule& rule, long timeoutMs = sendTimeoutMs);
SendOutcome sendMail(const SmtpSettings& smtp, const std::string& to, const std::string& message,
                     long timeoutMs = sendTimeoutMs);
