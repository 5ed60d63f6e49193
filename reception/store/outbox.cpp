#include "store/outbox.h"

#include <sodium.h>

#include <functional>


#include "store/clock.h"
#include "store/token_hash.h"

namespace {

// One message into the outbox, for a guest's alert or an invitation.
bool insertMessage(WriteTransaction& transaction, std::int64_t notificationId, std::optional<std::int64_t> invitationId,
                   const std::string& step, const OutboxMessage& message, std::int64_t now) {
  Statement insert = transaction.prepare(
      "INSERT INTO alert_outbox (notification_id, step, channel, target, payload, idempotency_key, next_attempt_at, "
      "updated_at, invitation_id) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?7, ?8)");
  insert.bind(1, notificationId).bind(2, step).bind(3, message.channel).bind(4, message.target);
  insert.bind(5, message.payload).bind(6, message.idempotencyKey).bind(7, now);
  if (invitationId) insert.bind(8, *invitationId);
  return insert.run();
}

ReplyStatus statusOf(Outcome failure) { return worthRetry(failure) ? ReplyStatus::busy : ReplyStatus::failed; }

// The token's guest, read through a session or a transaction.
template <typename Reader>
ReplyGuest replyGuestOf(Reader& reader, const std::string& token) {
  ReplyGuest guest;
  Statement query = reader.prepare(
      "SELECT t.used_at, n.archived_at, n.headline, s.display_name, n.arrived_at, n.id FROM reply_token t "
      "JOIN notification n ON n.id = t.notification_id JOIN staff s ON s.id = n.staff_id WHERE t.hash = ?1");
  int result = query.bind(1, tokenHash(token)).step();
  if (result != SQLITE_ROW) {
    if (result != SQLITE_DONE) {
      guest.status = statusOf(reader.fail("read of a reply link"));
    }
    return guest;
  }
  guest.guest = query.text(2);
  guest.host = query.text(3);
  guest.arrivedAt = query.integer(4);
  guest.notificationId = query.integer(5);
  if (query.optionalInteger(0)) {
    guest.status = ReplyStatus::used;
  } else if (query.optionalInteger(1)) {
    guest.status = ReplyStatus::ended;
  } else {
    guest.status = ReplyStatus::valid;
  }
  return guest;
}

}  // namespace

Outcome staffContacts(std::map<std::int64_t, StaffContact>& contacts) {
  ReadSession session;
  contacts.clear();
  Statement query = session.prepare(
      "SELECT id, coalesce(email, ''), coalesce(alert_url, '') FROM staff WHERE removed_at IS NULL "
      "AND (coalesce(email, '') <> '' OR coalesce(alert_url, '') <> '')");
  int result;
  while ((result = query.step()) == SQLITE_ROW) contacts[query.integer(0)] = StaffContact{query.text(1), query.text(2)};
  if (result == SQLITE_DONE) return Outcome::ok;
  contacts.clear();
  return session.fail("read of the staff's contacts");
}

Outcome setStaffContact(WriteTransaction& transaction, std::int64_t staffId, const StaffContact& contact) {
  Statement update = transaction.prepare(
      "UPDATE staff SET email = nullif(?2, ''), alert_url = nullif(?3, '') WHERE id = ?1 AND removed_at IS NULL");
  if (!update.bind(1, staffId).bind(2, contact.email).bind(3, contact.alertUrl).run()) {
    return transaction.fail("write of a staff member's contacts");
  }
  return transaction.changes() > 0 ? Outcome::ok : Outcome::notFound;
}

Outcome setStaffContact(std::int64_t staffId, const StaffContact& contact) {
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  Outcome set = setStaffContact(transaction, staffId, contact);
  return set == Outcome::ok ? transaction.commit() : set;
}

Outcome guestsForAlerts(std::vector<AlertGuest>& guests) {
  ReadSession session;
  guests.clear();
  Statement query = session.prepare(
      "SELECT n.id, n.staff_id, s.display_name, n.headline, n.detail, n.arrived_at, coalesce(n.announced_at, "
      "n.arrived_at), n.delivered_at, s.last_poll_at, coalesce(s.email, ''), coalesce(s.alert_url, ''), "
      "EXISTS (SELECT 1 FROM alert_step a WHERE a.notification_id = n.id AND a.step = 'host'), "
      "EXISTS (SELECT 1 FROM alert_step a WHERE a.notification_id = n.id AND a.step = 'team'), "
      "n.seen_on_page_at, s.page_open_until FROM notification n JOIN staff s ON s.id = n.staff_id WHERE n.archived_at IS NULL ORDER BY n.id");
  int result;
  while ((result = query.step()) == SQLITE_ROW) {
    AlertGuest guest;
    guest.notificationId = query.integer(0);
    guest.staffId = query.integer(1);
    guest.host = query.text(2);
    guest.guest = query.text(3);
    guest.note = query.text(4);
    guest.arrivedAt = query.integer(5);
    guest.times.announcedAt = query.integer(6);
    guest.deliveredAt = query.optionalInteger(7);
    guest.times.hostLastPollAt = query.optionalInteger(8);
    guest.contact = StaffContact{query.text(9), query.text(10)};
    guest.progress = ChainProgress{query.integer(11) != 0, query.integer(12) != 0};
    guest.seenOnPageAt = query.optionalInteger(13);
    guest.times.hostPageOpenUntil = query.optionalInteger(14);
    if (!guest.progress.hostStepTaken || !guest.progress.teamStepTaken) guests.push_back(std::move(guest));
  }
  if (result == SQLITE_DONE) return Outcome::ok;
  guests.clear();
  return session.fail("read of the guests for alerts");
}

bool takeAlertStep(std::int64_t notificationId, AlertStep step, const std::vector<OutboxMessage>& messages,
                   const std::string& replyTokenHashText, std::int64_t now) {
  WriteTransaction transaction;
  if (!transaction.begun()) return false;
  Statement taken = transaction.prepare("INSERT OR IGNORE INTO alert_step (notification_id, step, taken_at) VALUES (?1, ?2, ?3)");
  if (!taken.bind(1, notificationId).bind(2, std::string(alertStepName(step))).bind(3, now).run()) {
    transaction.fail("write of an alert step");
    return false;
  }
  if (transaction.changes() == 0) return false;
  for (const OutboxMessage& message : messages) {
    if (!insertMessage(transaction, notificationId, std::nullopt, alertStepName(step), message, now)) {
      transaction.fail("write of an alert");
      return false;
    }
  }
  if (!replyTokenHashText.empty()) {
    Statement token = transaction.prepare("INSERT INTO reply_token (hash, notification_id, created_at) VALUES (?1, ?2, ?3)");
    if (!token.bind(1, replyTokenHashText).bind(2, notificationId).bind(3, now).run()) {
      transaction.fail("write of a reply link");
      return false;
    }
  }
  return transaction.commit() == Outcome::ok;
}

bool queueInvitationMail(WriteTransaction& transaction, std::int64_t invitationId, const OutboxMessage& message,
                         std::int64_t now) {
  return insertMessage(transaction, 0, invitationId, "invitation", message, now);
}

bool cancelInvitationMail(WriteTransaction& transaction, std::int64_t invitationId, std::int64_t now) {
  Statement cancel = transaction.prepare(
      "UPDATE alert_outbox SET state = 'cancelled', payload = '', updated_at = ?2 "
      "WHERE invitation_id = ?1 AND state = 'pending'");
  return cancel.bind(1, invitationId).bind(2, now).run();
}

Outcome dueOutboxItems(std::int64_t now, bool mail, int limit, std::vector<OutboxItem>& items) {
  ReadSession session;
  items.clear();
  Statement query = session.prepare(
      "SELECT o.id, o.notification_id, o.channel, o.target, o.payload, o.idempotency_key, o.attempts, "
      "CASE WHEN o.invitation_id IS NULL THEN n.archived_at IS NULL "
      "ELSE i.id IS NOT NULL AND i.cancelled_at IS NULL AND i.visit_id IS NULL END, coalesce(o.invitation_id, 0) "
      "FROM alert_outbox o LEFT JOIN notification n ON n.id = o.notification_id "
      "LEFT JOIN invitation i ON i.id = o.invitation_id WHERE o.state = 'pending' AND o.next_attempt_at <= ?1 AND (CASE WHEN o.channel LIKE '%email' THEN 1 ELSE 0 END) = ?3 "
      "ORDER BY o.next_attempt_at, o.id LIMIT ?2");
  query.bind(1, now).bind(2, static_cast<std::int64_t>(limit)).bind(3, std::int64_t{mail ? 1 : 0});
  int result;
  while ((result = query.step()) == SQLITE_ROW) {
    items.push_back(OutboxItem{query.integer(0), query.integer(1), query.text(2), query.text(3), query.text(4),
                               query.text(5), static_cast<int>(query.integer(6)), query.integer(7) == 1,
                               query.integer(8)});
  }
  if (result == SQLITE_DONE) return Outcome::ok;
  items.clear();
  return session.fail("read of the alerts due");
}

namespace {

// One update of an outbox row in a transaction of its own.
bool updateOutbox(const char* sql, const std::function<void(Statement&)>& bind, const char* what) {
  WriteTransaction transaction;
  if (!transaction.begun()) return false;
  Statement update = transaction.prepare(sql);
  bind(update);
  if (!update.run()) {
    transaction.fail(what);
    return false;
  }
  return transaction.commit() == Outcome::ok;
}

}  // namespace

bool claimOutboxItem(std::int64_t id, std::int64_t now, std::int64_t claimMs) {
  WriteTransaction transaction;
  if (!transaction.begun()) return false;
  Statement claim = transaction.prepare(
      "UPDATE alert_outbox SET next_attempt_at = ?3 WHERE id = ?1 AND state = 'pending' AND next_attempt_at <= ?2");
  if (!claim.bind(1, id).bind(2, now).bind(3, now + claimMs).run()) {
    transaction.fail("write of a claimed alert");
    return false;
  }
  bool claimed = transaction.changes() == 1;
  return transaction.commit() == Outcome::ok && claimed;
}

bool recordAttempt(std::int64_t id, const SendOutcome& outcome, std::optional<std::int64_t> retryAt, std::int64_t now) {
  std::string state = outcome.delivered ? "sent" : retryAt ? "pending" : "failed";
  return updateOutbox(
      "UPDATE alert_outbox SET state = ?2, attempts = attempts + 1, next_attempt_at = ?3, last_status = nullif(?4, 0), "
      "last_error = ?5, updated_at = ?6, payload = CASE WHEN ?2 = 'pending' THEN payload ELSE '' END WHERE id = ?1",
      [&](Statement& update) {
        update.bind(1, id).bind(2, state).bind(3, retryAt.value_or(now)).bind(4, static_cast<std::int64_t>(outcome.status));
        update.bind(5, outcome.error).bind(6, now);
      },
      "write of an alert attempt");
}

bool cancelOutboxItem(std::int64_t id, std::int64_t now) {
  return updateOutbox("UPDATE alert_outbox SET state = 'cancelled', payload = '', updated_at = ?2 WHERE id = ?1",
                      [&](Statement& update) { update.bind(1, id).bind(2, now); }, "write of a cancelled alert");
}

Outcome alertStatesOf(const std::vector<std::int64_t>& guests, std::map<std::int64_t, std::vector<AlertState>>& states) {
  ReadSession session;
  states.clear();
  std::string ids = "[";
  for (std::int64_t id : guests) ids += (ids.size() > 1 ? "," : "") + std::to_string(id);
  ids += "]";
  // A retry of a guest no longer waiting will be cancelled when due: shown so at once.
  Statement query = session.prepare(
      "SELECT o.notification_id, o.channel, CASE WHEN o.state = 'pending' AND n.archived_at IS NOT NULL "
      "THEN 'cancelled' ELSE o.state END, o.attempts, o.last_status, o.last_error, o.updated_at, "
      "o.next_attempt_at FROM alert_outbox o JOIN notification n ON n.id = o.notification_id "
      "WHERE o.notification_id IN (SELECT value FROM json_each(?1)) ORDER BY o.id");
  query.bind(1, ids);
  int result;
  while ((result = query.step()) == SQLITE_ROW) {
    states[query.integer(0)].push_back(AlertState{query.text(1), query.text(2), static_cast<int>(query.integer(3)),
                                                  query.optionalInteger(4), query.text(5), query.integer(6),
                                                  query.integer(7)});
  }
  if (result == SQLITE_DONE) return Outcome::ok;
  states.clear();
  return session.fail("read of the alerts' states");
}

bool addReplyToken(std::int64_t notificationId, const std::string& hash, std::int64_t now) {
  WriteTransaction transaction;
  if (!transaction.begun()) return false;
  Statement token = transaction.prepare("INSERT INTO reply_token (hash, notification_id, created_at) VALUES (?1, ?2, ?3)");
  if (!token.bind(1, hash).bind(2, notificationId).bind(3, now).run()) {
    transaction.fail("write of a reply link");
    return false;
  }
  return transaction.commit() == Outcome::ok;
}

ReplyToken newReplyToken() {
  unsigned char random[32];
  randombytes_buf(random, sizeof random);
  std::string token(sodium_base64_ENCODED_LEN(sizeof random, sodium_base64_VARIANT_URLSAFE_NO_PADDING), '\0');
  sodium_bin2base64(&token[0], token.size(), random, sizeof random, sodium_base64_VARIANT_URLSAFE_NO_PADDING);
  token.resize(token.find('\0'));
  return ReplyToken{token, tokenHash(token)};
}

ReplyGuest findReplyGuest(const std::string& token) {
  ReadSession session;
  return replyGuestOf(session, token);
}

ReplyStatus acknowledgeByReply(const std::string& token, ReplyGuest& guest) {
  WriteTransaction transaction;
  if (!transaction.begun()) return statusOf(transaction.beginOutcome());
  guest = replyGuestOf(transaction, token);
  if (guest.status != ReplyStatus::valid) return guest.status;
  std::int64_t now = currentTimeMs();
  Statement use = transaction.prepare("UPDATE reply_token SET used_at = ?2 WHERE hash = ?1");
  if (!use.bind(1, tokenHash(token)).bind(2, now).run()) {
    return statusOf(transaction.fail("write of a used reply link"));
  }
  Statement archive = transaction.prepare(
      "UPDATE notification SET archived_at = ?2, archived_by = 'reply' WHERE archived_at IS NULL AND id = "
      "(SELECT notification_id FROM reply_token WHERE hash = ?1)");
  if (!archive.bind(1, tokenHash(token)).bind(2, now).run()) {
    return statusOf(transaction.fail("write of a guest acknowledged by reply"));
  }
  Outcome committed = transaction.commit();
  return committed == Outcome::ok ? ReplyStatus::valid : statusOf(committed);
}
