#include "alerts/alert_policy.h"

#include <algorithm>


namespace {

bool hostStepDue(const GuestTimes& guest, std::int64_t now, const FrontDeskPolicy& policy) {
  if (guest.seenAt) return false;
  if (now - guest.announcedAt > policy.unseenAfterMs) return true;
  // The host's open page is a screen: no "offline" alert while there is one.
  if (guest.hostPageOpenUntil && *guest.hostPageOpenUntil >= now) return false;
  // Offline when announced: no poll within the window before the announcement.
  return !guest.hostLastPollAt || *guest.hostLastPollAt < guest.announcedAt - onlineWindowMs;
}

bool teamStepDue(const GuestTimes& guest, std::int64_t now, const FrontDeskPolicy& policy) {
  std::int64_t since = guest.seenAt.value_or(guest.announcedAt);
  return now - since > policy.unacknowledgedAfterMs;
}

}  // namespace

std::vector<AlertStep> dueSteps(const GuestTimes& guest, ChainProgress progress, std::int64_t now,
                                const FrontDeskPolicy& policy) {
  std::vector<AlertStep> due;
  if (guest.archivedAt) return due;
  if (!progress.hostStepTaken && hostStepDue(guest, now, policy)) due.push_back(AlertStep::host);
  if (!progress.teamStepTaken && teamStepDue(guest, now, policy)) due.push_back(AlertStep::team);
  return due;
}


std::optional<std::int64_t> retryAt(const SendOutcome& outcome, int attempts, std::int64_t now) {
  if (outcome.delivered || attempts >= maxAttempts) return std::nullopt;
  // An SMTP reply code of 4xx is transient and 5xx permanent, unlike HTTP.
  bool retryable = outcome.connectionFailed ||
                   (outcome.mail ? outcome.status >= 400 && outcome.status < 500
                                 : outcome.status == 429 || outcome.status >= 500);
  if (!retryable) return std::nullopt;
  constexpr std::int64_t delaysSeconds[] = {5, 30, 120};
  std::int64_t delay = delaysSeconds[std::min(attempts, 3) - 1];
  if (outcome.retryAfterSeconds) delay = std::max(delay, std::min<std::int64_t>(*outcome.retryAfterSeconds, 3600));
  return now + delay * 1000;
}
