// The alert chain's rules, free of I/O: which step is due for a waiting
// guest, what a contact may be, how a target is shown in logs, and when a
// failed send is tried again.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "front_desk_policy.h"

// A notifier that has not polled for this long counts as offline.
constexpr std::int64_t hostOfflineAfterMs = 30LL * 1000;

enum class AlertStep { host, team };
// "host" or "team", as stored and shown.
const char* alertStepName(AlertStep step);

struct GuestTimes {
  std::int64_t announcedAt = 0;  // to the present host (a reassigned guest: when it was reassigned)
  std::optional<std::int64_t> deliveredAt;
  std::optional<std::int64_t> archivedAt;
  std::optional<std::int64_t> hostLastPollAt;
};

struct ChainProgress {
  bool hostStepTaken = false;
  bool teamStepTaken = false;
};

// The steps due now and not yet taken, host first. The host step: the guest
// is unseen past the escalation time, or was announced while the host's
// notifier was offline. The team step: still not acknowledged
// unacknowledgedAfterMs after reaching the screen (or after the
// announcement, when it never did). An archived guest has none.
std::vector<AlertStep> dueSteps(const GuestTimes& guest, ChainProgress progress, std::int64_t now,
                                const FrontDeskPolicy& policy);

// A member of staff's own ways to be alerted; "" for none.
struct StaffContact {
  std::string email;
  std::string alertUrl;
};

constexpr std::size_t maxEmailChars = 254;
constexpr std::size_t maxAlertUrlChars = 2048;
// "" when acceptable (an empty text is: no contact), else a message for the desk.
std::string checkEmail(std::string_view address);
std::string checkAlertUrl(std::string_view url);
std::string checkContact(const StaffContact& contact);

// A target as logs and the board show it: an URL as scheme and host only
// (a user, password, path or query may be a secret), an email address as
// its domain.
std::string maskedTarget(std::string_view target);

// What one attempt gave.
struct SendOutcome {
  bool delivered = false;
  bool mail = false;              // an SMTP reply code rather than an HTTP status
  bool connectionFailed = false;  // no answer: refused, timed out, TLS refused, ...
  long status = 0;                // HTTP status, or the SMTP reply code
  std::optional<std::int64_t> retryAfterSeconds;
  std::string error;  // for the log and the board, without secrets
};

// When to try again after a failed attempt (attempts made so far, counting
// this one), or none when the failure is final: a connection error, a time-
// out, 5xx or 429 (SMTP: 4xx) is retried after 5 s, 30 s and 120 s (a later Retry-After
// is honoured, up to an hour); any other refusal is final.
std::optional<std::int64_t> retryAt(const SendOutcome& outcome, int attempts, std::int64_t now);
constexpr int maxAttempts = 4;
