#include "alerts/alert_worker.h"

#include <sodium.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "alerts/alert_messages.h"
#include "metrics/metrics.h"
#include "rules/validation.h"
#include "store/audit.h"
#include "store/clock.h"
#include "store/outbox.h"
#include "store/staff.h"

namespace {

// Sent side by side at most, per lane.
constexpr int sendsPerPass = 32;

// Mail and webhooks go on lanes of their own, so that a mail server that
// never answers holds up no push; the webhook lane also takes the steps.
enum class Lane { webhooks, mail };

std::thread webhookWorker;
std::thread mailWorker;
std::mutex wakeMutex;
std::condition_variable wake;
std::atomic<bool> stopping{false};

std::string randomKey() {
  unsigned char random[16];
  randombytes_buf(random, sizeof random);
  char text[sizeof random * 2 + 1];
  sodium_bin2hex(text, sizeof text, random, sizeof random);
  return text;
}

// The host of an URL, for Message-IDs.
std::string hostOf(const std::string& url) {
  std::string host = urlHostName(url);
  return host.empty() ? "localhost" : host;
}

OutboxMessage mailTo(const AlertSettings& settings, const std::string& channel, const std::string& to,
                     const AlertFacts& facts) {
  std::string key = randomKey();
  MailHeaders headers{settings.smtp.from, to, key + "@" + hostOf(settings.publicUrl)};
  return OutboxMessage{channel, to, emailMessage(headers, facts), key};
}

OutboxMessage postTo(const std::string& channel, const std::string& url, const AlertFacts& facts) {
  return OutboxMessage{channel, url, webhookBody(facts), randomKey()};
}

AlertFacts factsOf(const AlertGuest& guest, AlertStep step, std::int64_t now) {
  return AlertFacts{step, guest.guest, guest.host, guest.note, guest.arrivedAt, now, ""};
}

void takeHostStep(const AlertSettings& settings, const AlertGuest& guest, std::int64_t now) {
  ReplyToken token = newReplyToken();
  AlertFacts facts = factsOf(guest, AlertStep::host, now);
  facts.acknowledgeUrl = settings.publicUrl + "ack/" + token.token;
  std::vector<OutboxMessage> messages;
  if (!guest.contact.email.empty() && !settings.smtp.url.empty()) {
    messages.push_back(mailTo(settings, "email", guest.contact.email, facts));
  }
  if (!guest.contact.alertUrl.empty()) messages.push_back(postTo("push", guest.contact.alertUrl, facts));
  takeAlertStep(guest.notificationId, AlertStep::host, messages, messages.empty() ? "" : token.hash, now);
}

void takeTeamStep(const AlertSettings& settings, const AlertGuest& guest, std::int64_t now) {
  AlertFacts facts = factsOf(guest, AlertStep::team, now);
  std::vector<OutboxMessage> messages;
  if (!settings.teamWebhook.empty()) messages.push_back(postTo("team-webhook", settings.teamWebhook, facts));
  if (!settings.teamEmail.empty() && !settings.smtp.url.empty()) {
    messages.push_back(mailTo(settings, "team-email", settings.teamEmail, facts));
  }
  takeAlertStep(guest.notificationId, AlertStep::team, messages, "", now);
}

// The last poll of each host, with the polls not yet saved to the database.
Outcome lastPolls(std::unordered_map<std::int64_t, std::int64_t>& polls) {
  std::vector<StaffRow> staff;
  Outcome read = activeStaff(staff);
  if (read != Outcome::ok) return read;
  for (const StaffRow& row : staff) {
    if (row.lastPollAt) polls[row.id] = *row.lastPollAt;
  }
  return Outcome::ok;
}

void takeDueSteps(const AlertSettings& settings, std::int64_t now) {
  std::vector<AlertGuest> guests;
  if (guestsForAlerts(guests) != Outcome::ok || guests.empty()) return;
  // Without the polls every host would look offline and be alerted as such:
  // the steps wait for the next pass instead.
  std::unordered_map<std::int64_t, std::int64_t> polls;
  if (lastPolls(polls) != Outcome::ok) return;
  for (AlertGuest& guest : guests) {
    auto poll = polls.find(guest.staffId);
    if (poll != polls.end()) guest.times.hostLastPollAt = poll->second;
    for (AlertStep step : dueSteps(guest.times, guest.progress, now, settings.policy)) {
      if (step == AlertStep::host) {
        takeHostStep(settings, guest, now);
      } else {
        takeTeamStep(settings, guest, now);
      }
    }
  }
}

std::string outcomeText(const SendOutcome& outcome, bool retrying) {
  std::string text = outcome.delivered ? "sent" : "failed";
  if (outcome.status != 0) text += " (" + std::to_string(outcome.status) + ")";
  if (!outcome.delivered && !outcome.error.empty()) text += ": " + outcome.error;
  if (retrying) text += ", retrying";
  return text;
}

void recordOutcome(const OutboxItem& item, const SendOutcome& outcome) {
  std::int64_t done = currentTimeMs();
  std::optional<std::int64_t> retry = retryAt(outcome, item.attempts + 1, done);
  AuditedChange audited([&item, &outcome, &retry] {
    return AuditEntry{0, 0, "alerts", "", "alert",
                      "guest #" + std::to_string(item.notificationId) + " " + item.channel + " to " +
                          maskedTarget(item.target) + ": " + outcomeText(outcome, retry.has_value())};
  });
  recordAttempt(item.id, outcome, retry, done);
  countAlert(item.channel, outcome.delivered ? AlertAttempt::sent : retry ? AlertAttempt::retry : AlertAttempt::failed);
}

// Sends the lane's due messages side by side; a message whose guest no
// longer waits is cancelled instead.
void sendDue(const AlertSettings& settings, Lane lane, std::int64_t now) {
  // Mail queued before a restart without --smtp-url waits for one.
  if (lane == Lane::mail && settings.smtp.url.empty()) return;
  std::vector<OutboxItem> due;
  if (dueOutboxItems(now, lane == Lane::mail, sendsPerPass, due) != Outcome::ok) return;
  std::vector<OutboxItem> items;
  for (OutboxItem& item : due) {
    if (item.guestWaiting) {
      items.push_back(std::move(item));
    } else {
      cancelOutboxItem(item.id, now);
    }
  }
  if (items.empty()) return;
  std::vector<TransferPtr> transfers;
  transfers.reserve(items.size());
  for (const OutboxItem& item : items) {
    transfers.push_back(lane == Lane::mail ? mailTransfer(settings.smtp, item.target, item.payload)
                                           : webhookTransfer(item.target, item.payload, item.idempotencyKey));
  }
  // A send cut short by the service's stop stays pending: sent again, with
  // the same key, after the restart.
  performAll(transfers, [&](std::size_t at, const SendOutcome& outcome) { recordOutcome(items[at], outcome); },
             &stopping);
}

void runLane(const AlertSettings& settings, Lane lane) {
  while (!stopping) {
    std::int64_t now = currentTimeMs();
    if (lane == Lane::webhooks) takeDueSteps(settings, now);
    sendDue(settings, lane, now);
    std::unique_lock<std::mutex> lock(wakeMutex);
    wake.wait_for(lock, std::chrono::milliseconds(500), [] { return stopping.load(); });
  }
}

}  // namespace

void runAlertPass(const AlertSettings& settings, std::int64_t now) {
  takeDueSteps(settings, now);
  sendDue(settings, Lane::webhooks, now);
  sendDue(settings, Lane::mail, now);
}

void startAlertWorker(const AlertSettings& settings) {
  stopping = false;
  webhookWorker = std::thread(runLane, settings, Lane::webhooks);
  mailWorker = std::thread(runLane, settings, Lane::mail);
}

void stopAlertWorker() {
  {
    std::lock_guard<std::mutex> lock(wakeMutex);
    stopping = true;
  }
  wake.notify_all();
  if (webhookWorker.joinable()) webhookWorker.join();
  if (mailWorker.joinable()) mailWorker.join();
}
