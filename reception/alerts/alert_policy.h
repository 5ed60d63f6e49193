// The alert chain's rules, free of I/O: which step is due for a waiting
// guest, what a contact may be, how a target is shown in logs, and when a
// failed send is tried again.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rules/escalation.h"
#include "rules/validation.h"
#include "store/alert_records.h"

// The steps due now and not yet taken, host first. The host step: the guest
// is unseen past the escalation time, or was announced while the host's
// notifier was offline and the host has no page open. The team step: still
// not acknowledged unacknowledgedAfterMs after it was seen (or after the
// announcement, when it never was). An archived guest has none.
std::vector<AlertStep> dueSteps(const GuestTimes& guest, ChainProgress progress, std::int64_t now,
                                const FrontDeskPolicy& policy);



// When to try again after a failed attempt (attempts made so far, counting
// this one), or none when the failure is final: a connection error, a time-
// out, 5xx or 429 (SMTP: 4xx) is retried after 5 s, 30 s and 120 s (a later Retry-After
// is honoured, up to an hour); any other refusal is final.
std::optional<std::int64_t> retryAt(const SendOutcome& outcome, int attempts, std::int64_t now);
constexpr int maxAttempts = 4;
