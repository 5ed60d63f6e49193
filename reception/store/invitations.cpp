#include "store/invitations.h"

#include <sodium.h>

#include "store/clock.h"
#include "store/outbox.h"

namespace {

// A clash of random codes is rare (31^8 of them); a few tries settle it.
constexpr int codeAttempts = 5;

const char* const selectInvitation =
    "SELECT i.id, i.code, i.staff_id, i.guest_name, i.company, i.guest_email, i.expected_on, i.expected_at, i.note, "
    "i.created_by, coalesce(s.display_name, ''), i.created_at, i.cancelled_at, i.visit_id "
    "FROM invitation i LEFT JOIN staff s ON s.id = i.staff_id ";

InvitationRow invitationFromRow(const Statement& row) {
  InvitationRow invitation;
  invitation.id = row.integer(0);
  invitation.code = row.text(1);
  invitation.entry = InvitationEntry{row.integer(2), row.text(3), row.text(4), row.text(5),
                                     row.text(6),    row.text(7), row.text(8), row.text(9)};
  invitation.hostName = row.text(10);
  invitation.createdAt = row.integer(11);
  invitation.cancelledAt = row.optionalInteger(12);
  invitation.visitId = row.optionalInteger(13);
  return invitation;
}

Outcome readInvitations(ReadSession& session, Statement& query, std::vector<InvitationRow>& rows) {
  rows.clear();
  int result;
  while ((result = query.step()) == SQLITE_ROW) rows.push_back(invitationFromRow(query));
  if (result == SQLITE_DONE) return Outcome::ok;
  rows.clear();
  return session.fail("read of invitations");
}

}  // namespace

std::string newInvitationCode() {
  constexpr std::uint32_t letters = sizeof invitationCodeAlphabet - 1;
  std::string code;
  for (std::size_t i = 0; i < invitationCodeLength; ++i) code += invitationCodeAlphabet[randombytes_uniform(letters)];
  return code;
}

Outcome addInvitation(const InvitationEntry& entry, InvitationRow& added, const InvitationMailMaker& mail) {
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  Statement host = transaction.prepare("SELECT display_name FROM staff WHERE id = ?1 AND removed_at IS NULL");
  int found = host.bind(1, entry.staffId).step();
  if (found == SQLITE_DONE) return Outcome::notFound;
  if (found != SQLITE_ROW) return transaction.fail("read of a host");
  InvitationRow row;
  row.entry = entry;
  row.hostName = host.text(0);
  row.createdAt = currentTimeMs();
  for (int attempt = 0; attempt < codeAttempts && row.id == 0; ++attempt) {
    row.code = newInvitationCode();
    // A code still open under another invitation is skipped, not an error:
    // the transaction goes on with the next code.
    Statement insert = transaction.prepare(
        "INSERT OR IGNORE INTO invitation (code, staff_id, guest_name, company, guest_email, expected_on, expected_at, note, "
        "created_by, created_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)");
    insert.bind(1, row.code).bind(2, entry.staffId).bind(3, entry.guestName).bind(4, entry.company);
    insert.bind(5, entry.guestEmail).bind(6, entry.expectedOn).bind(7, entry.expectedAt).bind(8, entry.note);
    int result = insert.bind(9, entry.createdBy).bind(10, row.createdAt).step();
    if (result != SQLITE_DONE) return transaction.fail("write of an invitation");
    if (transaction.changes() == 1) row.id = transaction.lastInsertId();
  }
  if (row.id == 0) return transaction.fail("write of an invitation (no free code)");
  // Queued with the invitation, so that a guest is never invited without the mail following.
  std::optional<OutboxMessage> message = mail ? mail(row) : std::nullopt;
  if (message && !queueInvitationMail(transaction, row.id, *message, row.createdAt)) {
    return transaction.fail("write of an invitation's mail");
  }
  added = row;  // before the commit, which writes the audit entry that names the guest
  return transaction.commit();
}

Outcome invitationsOfDay(const std::string& day, std::vector<InvitationRow>& rows) {
  ReadSession session;
  static const std::string sql =
      std::string(selectInvitation) + "WHERE i.expected_on = ?1 ORDER BY i.expected_at, i.guest_name, i.id";
  Statement query = session.prepare(sql);
  query.bind(1, day);
  return readInvitations(session, query, rows);
}

Outcome invitationsOfHost(std::int64_t staffId, const std::string& fromDay, std::vector<InvitationRow>& rows) {
  ReadSession session;
  static const std::string sql = std::string(selectInvitation) +
                                 "WHERE i.staff_id = ?1 AND i.expected_on >= ?2 "
                                 "ORDER BY i.expected_on, i.expected_at, i.id LIMIT 500";
  Statement query = session.prepare(sql);
  query.bind(1, staffId).bind(2, fromDay);
  return readInvitations(session, query, rows);
}

Outcome hostInvitationMailsSince(std::int64_t staffId, std::int64_t since, std::int64_t& count) {
  ReadSession session;
  Statement query = session.prepare(
      "SELECT count(*) FROM invitation WHERE staff_id = ?1 AND created_by = 'host' AND guest_email <> '' "
      "AND created_at >= ?2");
  if (query.bind(1, staffId).bind(2, since).step() != SQLITE_ROW) return session.fail("count of a host's invitation mails");
  count = query.integer(0);
  return Outcome::ok;
}

Outcome cancelInvitation(std::int64_t id, std::int64_t staffId) {
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  Statement cancel = transaction.prepare(
      "UPDATE invitation SET cancelled_at = ?3 WHERE id = ?1 AND (?2 = 0 OR staff_id = ?2) "
      "AND cancelled_at IS NULL AND visit_id IS NULL");
  std::int64_t now = currentTimeMs();
  if (!cancel.bind(1, id).bind(2, staffId).bind(3, now).run()) return transaction.fail("write of a cancellation");
  if (transaction.changes() == 0) return Outcome::notFound;
  if (!cancelInvitationMail(transaction, id, now)) return transaction.fail("write of a cancelled invitation's mail");
  return transaction.commit();
}

Outcome checkInInvitation(const InvitationKey& key, const std::string& today, VisitStart start, int maxWaiting,
                          NotificationRow& announced, std::int64_t& visitId) {
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  static const std::string sql = std::string(selectInvitation) +
                                 "WHERE (i.code = ?1 OR i.id = ?2) AND i.expected_on = ?3 "
                                 "AND i.cancelled_at IS NULL AND i.visit_id IS NULL";
  Statement read = transaction.prepare(sql);
  int found = read.bind(1, key.code).bind(2, key.id).bind(3, today).step();
  if (found == SQLITE_DONE) return Outcome::notFound;
  if (found != SQLITE_ROW) return transaction.fail("read of an invitation");
  InvitationRow invitation = invitationFromRow(read);
  start.staffId = invitation.entry.staffId;
  start.guestName = invitation.entry.guestName;
  start.company = invitation.entry.company;
  start.note = invitation.entry.note;
  start.method = "invitation";
  // Filled before the commit, which writes the audit entry that names the guest.
  Outcome started = startVisitIn(transaction, start, maxWaiting, announced, visitId);
  if (started != Outcome::ok) return started;
  Statement use = transaction.prepare("UPDATE invitation SET visit_id = ?2 WHERE id = ?1");
  if (!use.bind(1, invitation.id).bind(2, visitId).run() || !cancelInvitationMail(transaction, invitation.id, currentTimeMs())) {
    return transaction.fail("write of a used invitation");
  }
  return transaction.commit();
}

Outcome findOpenInvitationCode(const std::string& code, const std::string& today) {
  ReadSession session;
  Statement query = session.prepare(
      "SELECT id FROM invitation WHERE code = ?1 AND expected_on = ?2 AND cancelled_at IS NULL AND visit_id IS NULL");
  int found = query.bind(1, code).bind(2, today).step();
  if (found == SQLITE_DONE) return Outcome::notFound;
  if (found != SQLITE_ROW) return session.fail("read of an invitation");
  return Outcome::ok;
}

Outcome visitOfInvitationCode(const std::string& code, std::int64_t since, std::int64_t& visitId) {
  ReadSession session;
  Statement query = session.prepare(
      "SELECT v.id FROM invitation i JOIN visit v ON v.id = i.visit_id "
      "WHERE i.code = ?1 AND v.signed_out_at IS NULL AND v.checked_in_at >= ?2 ORDER BY v.id DESC LIMIT 1");
  int found = query.bind(1, code).bind(2, since).step();
  if (found == SQLITE_DONE) return Outcome::notFound;
  if (found != SQLITE_ROW) return session.fail("read of an invitation's visit");
  visitId = query.integer(0);
  return Outcome::ok;
}
