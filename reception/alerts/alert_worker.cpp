#include "alerts/alert_worker.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "alerts/alert_messages.h"
#include "alerts/reply_links.h"
#include "log/service_log.h"
#include "metrics/metrics.h"
#include "rules/validation.h"
#include "store/audit.h"
#include "store/clock.h"
#include "store/outbox.h"
#include "store/screen_holders.h"
#include "store/staff.h"
#include "store/token_hash.h"
#include "text/url_host.h"

namespace {

// Sent side by side at most, per lane, and per push server within it.
constexpr std::size_t sendsPerPass = 32;
constexpr std::size_t sendsPerTarget = 4;
// Due messages read at once: enough that those of a few slow hosts, waiting
// for their turn, leave room for the others.
constexpr int dueReadLimit = 256;

// Mail and webhooks go on lanes of their own, so that a mail server that
// never answers holds up no push; the webhook lane also takes the steps.
enum class Lane { webhooks, mail };

std::thread webhookWorker;
std::thread mailWorker;
std::mutex wakeMutex;
std::condition_variable wake;
std::atomic<bool> stopping{false};

// The host of an URL, for Message-IDs.
std::string hostOf(const std::string& url) {
  std::string host = urlHostName(url);
  return host.empty() ? "localhost" : host;
}

OutboxMessage mailTo(const AlertSettings& settings, const std::string& channel, const std::string& to,
                     const AlertFacts& facts) {
  std::string key = randomHex(16);
  MailHeaders headers{settings.smtp.from, to, key + "@" + hostOf(settings.publicUrl)};
  return OutboxMessage{channel, to, emailMessage(headers, facts), key};
}

OutboxMessage postTo(const std::string& channel, const std::string& url, const AlertFacts& facts) {
  return OutboxMessage{channel, url, webhookBody(facts), randomHex(16)};
}

AlertFacts factsOf(const AlertGuest& guest, AlertStep step, std::int64_t now) {
  return AlertFacts{step, guest.guest, guest.host, guest.note, guest.arrivedAt, now, ""};
}

void takeHostStep(const AlertSettings& settings, const AlertGuest& guest, std::int64_t now) {
  AlertFacts facts = factsOf(guest, AlertStep::host, now);
  // The link is made as each message is sent (reply_links.h).
  facts.acknowledgeUrl = replyLinkPlaceholder;
  std::vector<OutboxMessage> messages;
  if (!guest.contact.email.empty() && !settings.smtp.url.empty()) {
    messages.push_back(mailTo(settings, "email", guest.contact.email, facts));
  }
  if (!guest.contact.alertUrl.empty()) messages.push_back(postTo("push", guest.contact.alertUrl, facts));
  takeAlertStep(guest.notificationId, AlertStep::host, messages, "", now);
}

void takeTeamStep(const AlertSettings& settings, const AlertGuest& guest, std::int64_t now) {
  // The team can answer for the host: its alert carries a reply link of its own.
  ReplyToken token = newReplyToken();
  AlertFacts facts = factsOf(guest, AlertStep::team, now);
  facts.acknowledgeUrl = settings.publicUrl + "ack/" + token.token;
  std::vector<OutboxMessage> messages;
  if (!settings.teamWebhook.empty()) messages.push_back(postTo("team-webhook", settings.teamWebhook, facts));
  if (!settings.teamEmail.empty() && !settings.smtp.url.empty()) {
    messages.push_back(mailTo(settings, "team-email", settings.teamEmail, facts));
  }
  takeAlertStep(guest.notificationId, AlertStep::team, messages, messages.empty() ? "" : token.hash, now);
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
  // Without the polls every host would look offline and be alerted as such,
  // and without the notifiers' queues every delivered guest would look shown:
  // the steps wait for the next pass instead.
  std::unordered_map<std::int64_t, std::int64_t> polls;
  if (lastPolls(polls) != Outcome::ok) return;
  std::vector<HeldGuest> held;
  if (heldGuests(now - heldAfterArchiveMs, held) != Outcome::ok) return;
  std::map<std::int64_t, GuestScreen> screens = screenPlaces(std::move(held));
  for (AlertGuest& guest : guests) {
    auto poll = polls.find(guest.staffId);
    if (poll != polls.end()) guest.times.hostLastPollAt = poll->second;
    guest.times.seenAt = seenAt(screens[guest.notificationId], guest.deliveredAt, guest.seenOnPageAt);
    for (AlertStep step : dueSteps(guest.times, guest.progress, now, settings.policy)) {
      if (step == AlertStep::host) {
        takeHostStep(settings, guest, now);
      } else {
        takeTeamStep(settings, guest, now);
      }
    }
  }
}

// "sent (200)", "failed: the mail server offers no STARTTLS", "..., retrying":
// the reason in words, as the board shows it.
std::string outcomeText(const SendOutcome& outcome, bool retrying) {
  if (outcome.delivered) return outcome.status != 0 ? "sent (" + std::to_string(outcome.status) + ")" : "sent";
  std::string text = "failed: " + (outcome.error.empty() ? "status " + std::to_string(outcome.status) : outcome.error);
  if (retrying) text += ", retrying";
  return text;
}

// "guest #12 email to …@example.com", or "invitation #3 email to …@example.com".
std::string messageName(const OutboxItem& item) {
  std::string whose = item.invitationId != 0 ? "invitation #" + std::to_string(item.invitationId)
                                             : "guest #" + std::to_string(item.notificationId);
  return whose + " " + item.channel + " to " + maskedTarget(item.target);
}

void recordOutcome(const OutboxItem& item, const SendOutcome& outcome) {
  std::int64_t done = currentTimeMs();
  std::optional<std::int64_t> retry = retryAt(outcome, item.attempts + 1, done);
  AuditedChange audited([&item, &outcome, &retry] {
    return AuditEntry{0, 0, "alerts", "", "alert", messageName(item) + ": " + outcomeText(outcome, retry.has_value())};
  });
  recordAttempt(item.id, outcome, retry, done);
  countAlert(item.channel, outcome.delivered ? AlertAttempt::sent : retry ? AlertAttempt::retry : AlertAttempt::failed);
  // The office's administrator reads the service log, not the desk.
  if (outcome.delivered) return;
  std::string what = messageName(item);
  std::string attempt = "attempt " + std::to_string(item.attempts + 1);
  logEvent("alert for " + what + ": " + attempt + " failed: " + outcome.error +
           (retry ? ", next attempt in " + std::to_string((*retry - done + 999) / 1000) + " s"
                  : ", given up (final failure)"));
}

// A lane's sends in progress, and the messages they carry.
struct LaneSends {
  explicit LaneSends(Lane which) : lane(which), sends(sendsPerPass, which == Lane::mail ? sendsPerPass : sendsPerTarget) {}
  Lane lane;
  SendLane sends;
  std::unordered_map<std::int64_t, OutboxItem> items;
};

// Pushes are limited per server (host and port); mail all goes to the one mail server.
std::string targetKey(Lane lane, const OutboxItem& item) { return lane == Lane::mail ? "" : urlAuthority(item.target); }

// Starts the lane's due messages beside those already running; a message
// whose guest no longer waits is cancelled instead. Due messages of a target
// already at its limit wait, and others go ahead of them.
void startDue(const AlertSettings& settings, LaneSends& lane, std::int64_t now) {
  // Mail queued before a restart without --smtp-url waits for one.
  if (lane.lane == Lane::mail && settings.smtp.url.empty()) return;
  if (lane.sends.size() >= sendsPerPass) return;
  std::vector<OutboxItem> due;
  if (dueOutboxItems(now, lane.lane == Lane::mail, dueReadLimit, due) != Outcome::ok) return;
  for (OutboxItem& item : due) {
    if (lane.sends.running(item.id)) continue;
    // Also an invitation's mail whose invitation was cancelled or used meanwhile.
    if (!item.guestWaiting) {
      cancelOutboxItem(item.id, now);
      continue;
    }
    std::string key = targetKey(lane.lane, item);
    if (!lane.sends.hasRoomFor(key)) continue;
    // Claimed before anything is sent: of the instances sharing the
    // database, one sends it. A send cut short (the service stopped or
    // killed) stays pending and is sent again, with the same key, once the
    // claim runs out.
    if (!claimOutboxItem(item.id, now, settings.claimMs)) continue;
    if (!deriveReplyLink(settings.publicUrl, item, now)) continue;
    lane.sends.add(item.id, key,
                   lane.lane == Lane::mail ? mailTransfer(settings.smtp, item.target, item.payload)
                                           : webhookTransfer(item.target, item.payload, item.idempotencyKey,
                                                             settings.targets));
    lane.items.emplace(item.id, std::move(item));
  }
}

void stepSends(LaneSends& lane, int waitMs) {
  lane.sends.step(waitMs, [&](std::int64_t id, const SendOutcome& outcome) {
    auto item = lane.items.find(id);
    if (item == lane.items.end()) return;
    recordOutcome(item->second, outcome);
    lane.items.erase(item);
  });
}

// Takes the due messages every half second; meanwhile drives the sends
// running, each recorded as it ends.
void runLane(const AlertSettings& settings, Lane lane) {
  LaneSends sends(lane);
  auto nextCheck = std::chrono::steady_clock::now();
  while (!stopping) {
    if (std::chrono::steady_clock::now() >= nextCheck) {
      std::int64_t now = currentTimeMs();
      if (lane == Lane::webhooks) takeDueSteps(settings, now);
      startDue(settings, sends, now);
      nextCheck = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    }
    if (sends.sends.size() > 0) {
      stepSends(sends, 100);
      continue;
    }
    std::unique_lock<std::mutex> lock(wakeMutex);
    wake.wait_until(lock, nextCheck, [] { return stopping.load(); });
  }
  sends.sends.abandon();
}

}  // namespace

void runAlertPass(const AlertSettings& settings, std::int64_t now) {
  takeDueSteps(settings, now);
  for (Lane lane : {Lane::webhooks, Lane::mail}) {
    LaneSends sends(lane);
    startDue(settings, sends, now);
    while (sends.sends.size() > 0 && !stopping) stepSends(sends, 200);
  }
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
