// Sends alerts with libcurl: JSON POSTs to webhooks and messages over SMTP,
// many at once on one multi handle, each bounded by its own time-out.
// Blocking; called from the alert worker only.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "alerts/alert_policy.h"

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
TransferPtr webhookTransfer(const std::string& url, const std::string& body, const std::string& idempotencyKey,
                            long timeoutMs = sendTimeoutMs);
TransferPtr mailTransfer(const SmtpSettings& smtp, const std::string& to, const std::string& message,
                         long timeoutMs = sendTimeoutMs);
// Runs the transfers side by side; done(index, outcome) as each ends, so a
// slow one holds up no other's result. Returns when all have ended, or soon
// after stop is set: those still running then are left without an outcome.
void performAll(std::vector<TransferPtr>& transfers, const std::function<void(std::size_t, const SendOutcome&)>& done,
                const std::atomic<bool>* stop = nullptr);

// One send, for callers with a single message.
SendOutcome sendMail(const SmtpSettings& smtp, const std::string& to, const std::string& message,
                     long timeoutMs = sendTimeoutMs);
