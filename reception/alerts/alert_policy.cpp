#include "alert_policy.h"

#include <algorithm>

const char* alertStepName(AlertStep step) { return step == AlertStep::host ? "host" : "team"; }

namespace {

bool hostStepDue(const GuestTimes& guest, std::int64_t now, const FrontDeskPolicy& policy) {
  if (guest.deliveredAt) return false;
  if (now - guest.announcedAt > policy.unseenAfterMs) return true;
  // Offline when announced: no poll within the window before the announcement.
  return !guest.hostLastPollAt || *guest.hostLastPollAt < guest.announcedAt - hostOfflineAfterMs;
}

bool teamStepDue(const GuestTimes& guest, std::int64_t now, const FrontDeskPolicy& policy) {
  std::int64_t since = guest.deliveredAt.value_or(guest.announcedAt);
  return now - since > policy.unacknowledgedAfterMs;
}

bool isControlOrSpace(unsigned char c) { return c <= 0x20 || c == 0x7F; }

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

}  // namespace

std::vector<AlertStep> dueSteps(const GuestTimes& guest, ChainProgress progress, std::int64_t now,
                                const FrontDeskPolicy& policy) {
  std::vector<AlertStep> due;
  if (guest.archivedAt) return due;
  if (!progress.hostStepTaken && hostStepDue(guest, now, policy)) due.push_back(AlertStep::host);
  if (!progress.teamStepTaken && teamStepDue(guest, now, policy)) due.push_back(AlertStep::team);
  return due;
}

std::string checkEmail(std::string_view address) {
  if (address.empty()) return "";
  if (address.size() > maxEmailChars) return "The email address is longer than 254 characters.";
  if (std::any_of(address.begin(), address.end(), [](char c) { return isControlOrSpace(static_cast<unsigned char>(c)); })) {
    return "The email address must not contain spaces or control characters.";
  }
  std::size_t at = address.rfind('@');
  if (at == std::string_view::npos || at == 0 || at + 1 == address.size() ||
      address.find('@') != at || address.find_first_of("<>,;\"") != std::string_view::npos) {
    return "The email address must look like name@example.com.";
  }
  return "";
}

std::string checkAlertUrl(std::string_view url) {
  if (url.empty()) return "";
  if (url.size() > maxAlertUrlChars) return "The push address is longer than 2,048 characters.";
  if (std::any_of(url.begin(), url.end(), [](char c) { return isControlOrSpace(static_cast<unsigned char>(c)); })) {
    return "The push address must not contain spaces or control characters.";
  }
  std::string_view rest;
  if (startsWith(url, "https://")) {
    rest = url.substr(8);
  } else if (startsWith(url, "http://")) {
    rest = url.substr(7);
  } else {
    return "The push address must start with http:// or https://.";
  }
  std::size_t hostEnd = rest.find_first_of("/?#");
  std::string_view authority = rest.substr(0, hostEnd);
  if (authority.empty() || authority.back() == '@' || authority.front() == ':') {
    return "The push address must name a host.";
  }
  return "";
}

std::string checkContact(const StaffContact& contact) {
  std::string problem = checkEmail(contact.email);
  return problem.empty() ? checkAlertUrl(contact.alertUrl) : problem;
}

std::string maskedTarget(std::string_view target) {
  std::size_t scheme = target.find("://");
  if (scheme == std::string_view::npos) {
    std::size_t at = target.rfind('@');
    return at == std::string_view::npos ? std::string("…") : "…" + std::string(target.substr(at));
  }
  std::string_view rest = target.substr(scheme + 3);
  std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
  std::size_t user = authority.rfind('@');
  if (user != std::string_view::npos) authority.remove_prefix(user + 1);
  return std::string(target.substr(0, scheme + 3)) + std::string(authority);
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
