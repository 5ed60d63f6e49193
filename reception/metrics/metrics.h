// The service's numbers for the office's monitoring, in the Prometheus text
// exposition format (version 0.0.4). Counting is a relaxed atomic add, safe
// from any thread and with no lock on the request path. Labels hold only
// fixed words and status codes: never a guest, a host name or a key.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Counters of events. Adding one is an entry here and its row (name, label,
// help) in metrics.cpp's table.
enum class Counter : std::size_t {
  loginOk,
  loginWrong,
  loginThrottled,
  databaseBusy,
  retentionDeleted,
  alertEmailSent,
  alertEmailRetry,
  alertEmailFailed,
  alertPushSent,
  alertPushRetry,
  alertPushFailed,
  alertTeamSent,
  alertTeamRetry,
  alertTeamFailed,
  count  // how many there are; keep last
};

void countEvent(Counter counter, std::uint64_t amount = 1);
std::uint64_t counterValue(Counter counter);

// One alert attempt on its channel ("email", "push", "team-webhook" or
// "team-email"): sent, to be retried, or failed for good.
enum class AlertAttempt { sent, retry, failed };
void countAlert(std::string_view channel, AlertAttempt attempt);

// The time of the last directory sync that changed the staff as planned.
void noteDirectorySyncSuccess(std::int64_t secondsSinceEpoch);

// Whether this instance leads the background work that runs once across
// instances (1 until told otherwise: a lone process leads).
void noteLeadership(bool leading);

// Which part of the service a request went to (its route row says).
enum class Api : std::size_t { notifier, desk, page };

// One answered request: its status and the seconds from its first line to its answer.
void countRequest(Api api, int status, double seconds);

// Read from the records when scraped.
struct Gauges {
  std::int64_t guestsWaiting = 0;
  std::int64_t guestsEscalated = 0;
  std::int64_t notifiersOnline = 0;
};

// The whole exposition; the gauges are left out when they could not be read.
std::string metricsText(const std::optional<Gauges>& gauges);


