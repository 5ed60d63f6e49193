// The alerts' command-line options (read by the option table) and their checks together.
#pragma once

#include <cstdint>
#include <string>

struct AlertOptions {
  std::string smtpUrl;           // --smtp-url smtp://HOST[:PORT] or smtps://HOST[:PORT]
  bool smtpRequireTls = true;    // --smtp-tls starttls|none
  std::string smtpUser;          // --smtp-user
  std::string smtpPasswordFile;  // --smtp-password-file: the password never goes on the command line
  std::string smtpFrom;          // --smtp-from
  std::string smtpCaFile;        // --smtp-ca-file
  std::string teamWebhook;       // --team-webhook URL
  std::string teamEmail;         // --team-email ADDRESS
  std::string publicUrl;         // --public-url; "" for http://<host name>/
  bool smtpAllowPlaintext = false;  // --smtp-allow-plaintext: a password in clear to another host
  bool allowLoopback = false;    // --alert-allow-loopback: pushes to this machine (tests, local relays)
  std::int64_t claimSeconds = 60;  // --alert-claim-seconds: how long a sender holds a message it sends
};

// Checks of the options together, after all are read.
std::string checkAlertOptions(const AlertOptions& options);
// Whether the SMTP password goes without TLS to a host other than loopback
// (allowed only with --smtp-allow-plaintext, and then warned about at start).
bool sendsSmtpPasswordInClear(const AlertOptions& options);
