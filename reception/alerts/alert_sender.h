// Sends one alert with libcurl: a JSON POST to a webhook, or a message over
// SMTP. Blocking, bounded by timeoutMs; called from the alert worker only.
#pragma once

#include <string>

#include "alert_policy.h"

struct SmtpSettings {
  std::string url;        // smtp://HOST[:PORT] or smtps://HOST[:PORT]; "" when mail is off
  bool requireTls = true; // --smtp-tls starttls: refuse to send without STARTTLS
  std::string user;
  std::string password;   // read from --smtp-password-file; never logged
  std::string from;
  std::string caFile;
};

constexpr long sendTimeoutMs = 10000;

// Once per process, before the worker starts.
bool initAlertSender();
SendOutcome postWebhook(const std::string& url, const std::string& body, const std::string& idempotencyKey,
                        long timeoutMs = sendTimeoutMs);
SendOutcome sendMail(const SmtpSettings& smtp, const std::string& to, const std::string& message,
                     long timeoutMs = sendTimeoutMs);
