// What the alert chain keeps in the database, as plain values: shared by the
// chain's rules (alerts/) and the outbox's tables (store/outbox.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

enum class AlertStep { host, team };
// "host" or "team", as stored and shown.
inline const char* alertStepName(AlertStep step) { return step == AlertStep::host ? "host" : "team"; }

struct GuestTimes {
  std::int64_t announcedAt = 0;  // to the present host (a reassigned guest: when it was reassigned)
  // When the guest first stood where the host sees it: shown by the notifier
  // (not queued behind another guest) or sent to the host's open page.
  std::optional<std::int64_t> seenAt;
  std::optional<std::int64_t> archivedAt;
  std::optional<std::int64_t> hostLastPollAt;
  std::optional<std::int64_t> hostPageOpenUntil;  // the host has a page open until then
};

struct ChainProgress {
  bool hostStepTaken = false;
  bool teamStepTaken = false;
};

// What one attempt gave.
struct SendOutcome {
  bool delivered = false;
  bool mail = false;              // an SMTP reply code rather than an HTTP status
  bool connectionFailed = false;  // no answer: refused, timed out, TLS refused, ...
  long status = 0;                // HTTP status, or the SMTP reply code
  std::optional<std::int64_t> retryAfterSeconds;
  std::string error;  // for the log and the board, without secrets
};
