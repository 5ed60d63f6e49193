#include "outbox.h"

#include <sodium.h>

#include <mutex>

#include "database.h"

namespace {

// alert_step: a step of a guest's chain, taken once (its primary key).
// alert_outbox: one message on one channel; payload is emptied once final.
// reply_token: the reply links, by the hash of their token.
const char* const alertSchemaSql = R"sql(
CREATE TABLE IF NOT EXISTS alert_step (
  notification_id INTEGER NOT NULL,
  step TEXT NOT NULL,
  taken_at INTEGER NOT NULL,
  PRIMARY KEY (notification_id, step)
);
CREATE TABLE IF NOT EXISTS alert_outbox (
  id INTEGER PRIMARY KEY,
  notification_id INTEGER NOT NULL,
  step TEXT NOT NULL,
  channel TEXT NOT NULL,
  target TEXT NOT NULL,
  payload TEXT NOT NULL,
  idempotency_key TEXT NOT NULL,
  state TEXT NOT NULL DEFAULT 'pending',
  attempts INTEGER NOT NULL DEFAULT 0,
  next_attempt_at INTEGER NOT NULL,
  last_status INTEGER,
  last_error TEXT NOT NULL DEFAULT '',
  updated_at INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS alert_outbox_due ON alert_outbox(next_attempt_at) WHERE state = 'pending';
CREATE INDEX IF NOT EXISTS alert_outbox_guest ON alert_outbox(notification_id);
CREATE TABLE IF NOT EXISTS reply_token (
  hash TEXT PRIMARY KEY,
  notification_id INTEGER NOT NULL,
  created_at INTEGER NOT NULL,
  used_at INTEGER
);
CREATE INDEX IF NOT EXISTS reply_token_guest ON reply_token(notification_id);
-- A guest's record deleted (retention) takes its alerts along: their
-- targets and reply links are personal data too.
CREATE TRIGGER IF NOT EXISTS alert_rows_of_deleted_guest AFTER DELETE ON notification BEGIN
  DELETE FROM alert_outbox WHERE notification_id = old.id;
  DELETE FROM alert_step WHERE notification_id = old.id;
  DELETE FROM reply_token WHERE notification_id = old.id;
END;
)sql";

constexpr int alertSchemaVersion = 2;

bool hasColumn(const char* table, const char* column) {
  Use query(std::string("SELECT 1 FROM pragma_table_info('") + table + "') WHERE name = ?1");
  return query.bind(1, std::string(column)).step() == SQLITE_ROW;
}

bool addColumnOnce(const char* table, const char* column, const char* type) {
  if (hasColumn(table, column)) return true;
  return execute((std::string("ALTER TABLE ") + table + " ADD COLUMN " + column + " " + type).c_str());
}

std::string hex(const unsigned char* bytes, std::size_t size) {
  std::string text(size * 2 + 1, '\0');
  sodium_bin2hex(&text[0], text.size(), bytes, size);
  text.pop_back();
  return text;
}

bool queueMessage(std::int64_t notificationId, AlertStep step, const OutboxMessage& message, std::int64_t now) {
  Use insert(
      "INSERT INTO alert_outbox (notification_id, step, channel, target, payload, idempotency_key, next_attempt_at, "
      "updated_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?7)");
  insert.bind(1, notificationId).bind(2, std::string(alertStepName(step))).bind(3, message.channel);
  insert.bind(4, message.target).bind(5, message.payload).bind(6, message.idempotencyKey).bind(7, now);
  return insert.run();
}

// The token's guest, read under databaseMutex.
ReplyGuest replyGuestOf(const std::string& token) {
  ReplyGuest guest;
  Use query(
      "SELECT t.used_at, n.archived_at, n.headline, s.display_name, n.arrived_at, n.id FROM reply_token t "
      "JOIN notification n ON n.id = t.notification_id JOIN staff s ON s.id = n.staff_id WHERE t.hash = ?1");
  if (query.bind(1, replyTokenHash(token)).step() != SQLITE_ROW) return guest;
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

bool addAlertSchema() {
  // Another concern may add the same columns: each is added only when missing.
  if (!addColumnOnce("staff", "email", "TEXT") || !addColumnOnce("staff", "alert_url", "TEXT")) return false;
  if (!execute(alertSchemaSql)) return false;
  return execute(("PRAGMA user_version = " + std::to_string(alertSchemaVersion)).c_str());
}

std::map<std::int64_t, StaffContact> staffContacts() {
  std::unique_lock<std::mutex> lock = lockForReading();
  std::map<std::int64_t, StaffContact> contacts;
  Use query = Use::reading(
      "SELECT id, coalesce(email, ''), coalesce(alert_url, '') FROM staff WHERE removed_at IS NULL "
      "AND (coalesce(email, '') <> '' OR coalesce(alert_url, '') <> '')");
  while (query.step() == SQLITE_ROW) contacts[query.integer(0)] = StaffContact{query.text(1), query.text(2)};
  return contacts;
}

StoreResult setStaffContact(std::int64_t staffId, const StaffContact& contact) {
  std::lock_guard<std::mutex> lock(databaseMutex);
  Use update("UPDATE staff SET email = nullif(?2, ''), alert_url = nullif(?3, '') WHERE id = ?1 AND removed_at IS NULL");
  if (!update.bind(1, staffId).bind(2, contact.email).bind(3, contact.alertUrl).run()) return StoreResult::failed;
  return sqlite3_changes(database) > 0 ? StoreResult::done : StoreResult::notFound;
}

bool guestsForAlerts(std::vector<AlertGuest>& guests) {
  std::unique_lock<std::mutex> lock = lockForReading();
  Use query = Use::reading(
      "SELECT n.id, n.staff_id, s.display_name, n.headline, n.detail, n.arrived_at, coalesce(n.announced_at, "
      "n.arrived_at), n.delivered_at, s.last_poll_at, coalesce(s.email, ''), coalesce(s.alert_url, ''), "
      "EXISTS (SELECT 1 FROM alert_step a WHERE a.notification_id = n.id AND a.step = 'host'), "
      "EXISTS (SELECT 1 FROM alert_step a WHERE a.notification_id = n.id AND a.step = 'team') "
      "FROM notification n JOIN staff s ON s.id = n.staff_id WHERE n.archived_at IS NULL ORDER BY n.id");
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
    guest.times.deliveredAt = query.optionalInteger(7);
    guest.times.hostLastPollAt = query.optionalInteger(8);
    guest.contact = StaffContact{query.text(9), query.text(10)};
    guest.progress = ChainProgress{query.integer(11) != 0, query.integer(12) != 0};
    if (!guest.progress.hostStepTaken || !guest.progress.teamStepTaken) guests.push_back(std::move(guest));
  }
  if (result == SQLITE_DONE) return true;
  reportError("read of the guests for alerts", readDatabase);
  return false;
}

bool takeAlertStep(std::int64_t notificationId, AlertStep step, const std::vector<OutboxMessage>& messages,
                   const std::string& replyTokenHashText, std::int64_t now) {
  std::lock_guard<std::mutex> lock(databaseMutex);
  Transaction transaction;
  if (!transaction.begun()) return false;
  Use taken("INSERT OR IGNORE INTO alert_step (notification_id, step, taken_at) VALUES (?1, ?2, ?3)");
  if (!taken.bind(1, notificationId).bind(2, std::string(alertStepName(step))).bind(3, now).run()) return false;
  if (sqlite3_changes(database) == 0) return false;
  for (const OutboxMessage& message : messages) {
    if (!queueMessage(notificationId, step, message, now)) return false;
  }
  if (!replyTokenHashText.empty()) {
    Use token("INSERT INTO reply_token (hash, notification_id, created_at) VALUES (?1, ?2, ?3)");
    if (!token.bind(1, replyTokenHashText).bind(2, notificationId).bind(3, now).run()) return false;
  }
  return transaction.commit();
}

std::vector<OutboxItem> dueOutboxItems(std::int64_t now, bool mail, int limit) {
  std::unique_lock<std::mutex> lock = lockForReading();
  std::vector<OutboxItem> items;
  Use query = Use::reading(
      "SELECT o.id, o.notification_id, o.channel, o.target, o.payload, o.idempotency_key, o.attempts, "
      "n.archived_at IS NULL FROM alert_outbox o LEFT JOIN notification n ON n.id = o.notification_id "
      "WHERE o.state = 'pending' AND o.next_attempt_at <= ?1 AND (o.channel LIKE '%email') = ?3 "
      "ORDER BY o.next_attempt_at, o.id LIMIT ?2");
  query.bind(1, now).bind(2, static_cast<std::int64_t>(limit)).bind(3, std::int64_t{mail ? 1 : 0});
  while (query.step() == SQLITE_ROW) {
    items.push_back(OutboxItem{query.integer(0), query.integer(1), query.text(2), query.text(3), query.text(4),
                               query.text(5), static_cast<int>(query.integer(6)), query.integer(7) == 1});
  }
  return items;
}

bool recordAttempt(std::int64_t id, const SendOutcome& outcome, std::optional<std::int64_t> retryAt, std::int64_t now) {
  std::lock_guard<std::mutex> lock(databaseMutex);
  std::string state = outcome.delivered ? "sent" : retryAt ? "pending" : "failed";
  Use update(
      "UPDATE alert_outbox SET state = ?2, attempts = attempts + 1, next_attempt_at = ?3, last_status = nullif(?4, 0), "
      "last_error = ?5, updated_at = ?6, payload = CASE WHEN ?2 = 'pending' THEN payload ELSE '' END WHERE id = ?1");
  update.bind(1, id).bind(2, state).bind(3, retryAt.value_or(now)).bind(4, static_cast<std::int64_t>(outcome.status));
  return update.bind(5, outcome.error).bind(6, now).run();
}

bool cancelOutboxItem(std::int64_t id, std::int64_t now) {
  std::lock_guard<std::mutex> lock(databaseMutex);
  Use update("UPDATE alert_outbox SET state = 'cancelled', payload = '', updated_at = ?2 WHERE id = ?1");
  return update.bind(1, id).bind(2, now).run();
}

std::map<std::int64_t, std::vector<AlertState>> alertStatesSince(std::int64_t since) {
  std::unique_lock<std::mutex> lock = lockForReading();
  std::map<std::int64_t, std::vector<AlertState>> states;
  // A retry of a guest no longer waiting will be cancelled when due: shown so at once.
  Use query = Use::reading(
      "SELECT o.notification_id, o.channel, CASE WHEN o.state = 'pending' AND n.archived_at IS NOT NULL "
      "THEN 'cancelled' ELSE o.state END, o.attempts, o.last_status, o.last_error, o.updated_at, "
      "o.next_attempt_at FROM alert_outbox o JOIN notification n ON n.id = o.notification_id "
      "WHERE n.archived_at IS NULL OR n.archived_at >= ?1 ORDER BY o.id");
  query.bind(1, since);
  while (query.step() == SQLITE_ROW) {
    states[query.integer(0)].push_back(AlertState{query.text(1), query.text(2), static_cast<int>(query.integer(3)),
                                                  query.optionalInteger(4), query.text(5), query.integer(6),
                                                  query.integer(7)});
  }
  return states;
}

ReplyToken newReplyToken() {
  unsigned char random[32];
  randombytes_buf(random, sizeof random);
  std::string token(sodium_base64_ENCODED_LEN(sizeof random, sodium_base64_VARIANT_URLSAFE_NO_PADDING), '\0');
  sodium_bin2base64(&token[0], token.size(), random, sizeof random, sodium_base64_VARIANT_URLSAFE_NO_PADDING);
  token.resize(token.find('\0'));
  return ReplyToken{token, replyTokenHash(token)};
}

std::string replyTokenHash(const std::string& token) {
  unsigned char hash[crypto_generichash_BYTES];
  crypto_generichash(hash, sizeof hash, reinterpret_cast<const unsigned char*>(token.data()), token.size(), nullptr, 0);
  return hex(hash, sizeof hash);
}

ReplyGuest findReplyGuest(const std::string& token) {
  std::lock_guard<std::mutex> lock(databaseMutex);
  return replyGuestOf(token);
}

ReplyStatus acknowledgeByReply(const std::string& token, ReplyGuest& guest) {
  std::lock_guard<std::mutex> lock(databaseMutex);
  Transaction transaction;
  if (!transaction.begun()) return ReplyStatus::failed;
  guest = replyGuestOf(token);
  if (guest.status != ReplyStatus::valid) return guest.status;
  std::int64_t now = currentTimeMs();
  Use use("UPDATE reply_token SET used_at = ?2 WHERE hash = ?1");
  if (!use.bind(1, replyTokenHash(token)).bind(2, now).run()) return ReplyStatus::failed;
  Use archive(
      "UPDATE notification SET archived_at = ?2, archived_by = 'reply' WHERE archived_at IS NULL AND id = "
      "(SELECT notification_id FROM reply_token WHERE hash = ?1)");
  if (!archive.bind(1, replyTokenHash(token)).bind(2, now).run()) return ReplyStatus::failed;
  return transaction.commit() ? ReplyStatus::valid : ReplyStatus::failed;
}
