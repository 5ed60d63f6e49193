#include "store/host_sessions.h"

#include "store/clock.h"
#include "store/token_hash.h"

namespace {

constexpr std::size_t tokenBytes = 32;
constexpr std::int64_t touchIntervalMs = 60LL * 1000;

const char* const memberColumns =
    "s.id, s.display_name, coalesce(s.email, ''), coalesce(s.alert_url, ''), s.directory_id IS NOT NULL ";

HostMember memberFromRow(const Statement& row) {
  return HostMember{row.integer(0), row.text(1), row.text(2), row.text(3), row.integer(4) != 0};
}

std::string newToken() {
  return randomHex(tokenBytes);
}

bool isTokenShaped(const std::string& token) {
  if (token.size() != tokenBytes * 2) return false;
  for (char c : token) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

Outcome insertSession(WriteTransaction& transaction, std::int64_t staffId, const std::string& method,
                      std::string& token) {
  std::int64_t now = currentTimeMs();
  // Ended sessions and links are cleared here, so the tables do not grow with time.
  Statement clear = transaction.prepare("DELETE FROM host_session WHERE last_used_at < ?1");
  if (!clear.bind(1, now - hostSessionIdleLimitMs).run()) return transaction.fail("removal of ended host sessions");
  Statement clearLinks = transaction.prepare("DELETE FROM sign_in_link WHERE created_at < ?1");
  if (!clearLinks.bind(1, now - signInLinkLifetimeMs).run()) return transaction.fail("removal of old sign-in links");
  std::string made = newToken();
  Statement insert = transaction.prepare(
      "INSERT INTO host_session (token_hash, staff_id, method, created_at, last_used_at) VALUES (?1, ?2, ?3, ?4, ?4)");
  if (!insert.bind(1, tokenHash(made)).bind(2, staffId).bind(3, method).bind(4, now).run()) {
    return transaction.fail("write of a host session");
  }
  token = made;
  return Outcome::ok;
}

void touchSession(const std::string& hash, std::int64_t now) {
  WriteWaitBudget noWait(0);
  WriteTransaction transaction{WriteTransaction::IfFree{}};
  if (!transaction.begun()) return;
  Statement touch = transaction.prepare("UPDATE host_session SET last_used_at = ?2 WHERE token_hash = ?1");
  if (touch.bind(1, hash).bind(2, now).run()) transaction.commit();
}

// The member of a young, unused link, read within the caller's statement source.
template <typename Source>
Outcome linkMember(Source& source, const std::string& token, HostMember& member) {
  if (!isTokenShaped(token)) return Outcome::notFound;
  Statement query = source.prepare(std::string("SELECT ") + memberColumns +
                                   "FROM sign_in_link l JOIN staff s ON s.id = l.staff_id "
                                   "WHERE l.hash = ?1 AND l.used_at IS NULL AND l.created_at >= ?2 AND s.removed_at IS NULL");
  int result = query.bind(1, tokenHash(token)).bind(2, currentTimeMs() - signInLinkLifetimeMs).step();
  if (result == SQLITE_DONE) return Outcome::notFound;
  if (result != SQLITE_ROW) return source.fail("read of a sign-in link");
  member = memberFromRow(query);
  return Outcome::ok;
}

}  // namespace

Outcome startHostSession(std::int64_t staffId, const std::string& method, std::string& token) {
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  Outcome inserted = insertSession(transaction, staffId, method, token);
  if (inserted != Outcome::ok) return inserted;
  Outcome committed = transaction.commit();
  if (committed != Outcome::ok) token.clear();
  return committed;
}

Outcome findHostSession(const std::string& token, HostMember& member) {
  if (!isTokenShaped(token)) return Outcome::notFound;
  std::string hash = tokenHash(token);
  std::int64_t now = currentTimeMs();
  std::int64_t lastUsed = 0;
  {
    ReadSession session;
    Statement query = session.prepare(std::string("SELECT ") + memberColumns +
                                      ", h.last_used_at FROM host_session h JOIN staff s ON s.id = h.staff_id "
                                      "WHERE h.token_hash = ?1 AND s.removed_at IS NULL");
    int result = query.bind(1, hash).step();
    if (result == SQLITE_DONE) return Outcome::notFound;
    if (result != SQLITE_ROW) return session.fail("read of a host session");
    member = memberFromRow(query);
    lastUsed = query.integer(5);
  }
  if (now - lastUsed > hostSessionIdleLimitMs) return Outcome::notFound;
  if (now - lastUsed >= touchIntervalMs) touchSession(hash, now);
  return Outcome::ok;
}

Outcome endHostSession(const std::string& token) {
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  Statement remove = transaction.prepare("DELETE FROM host_session WHERE token_hash = ?1");
  if (!remove.bind(1, tokenHash(token)).run()) return transaction.fail("removal of a host session");
  return transaction.commit();
}

Outcome endHostSessions(std::int64_t staffId, int& ended) {
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  Statement remove = transaction.prepare("DELETE FROM host_session WHERE staff_id = ?1");
  if (!remove.bind(1, staffId).run()) return transaction.fail("removal of a member's host sessions");
  ended = transaction.changes();
  Statement links = transaction.prepare("DELETE FROM sign_in_link WHERE staff_id = ?1");
  if (!links.bind(1, staffId).run()) return transaction.fail("removal of a member's sign-in links");
  return transaction.commit();
}

Outcome membersWithHostSessions(std::set<std::int64_t>& members) {
  ReadSession session;
  Statement query = session.prepare("SELECT DISTINCT staff_id FROM host_session WHERE last_used_at >= ?1");
  query.bind(1, currentTimeMs() - hostSessionIdleLimitMs);
  int result;
  members.clear();
  while ((result = query.step()) == SQLITE_ROW) members.insert(query.integer(0));
  if (result == SQLITE_DONE) return Outcome::ok;
  members.clear();
  return session.fail("read of the members with host sessions");
}

Outcome newSignInLink(const std::string& email, HostMember& member, std::string& token) {
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  Statement query = transaction.prepare(std::string("SELECT ") + memberColumns +
                                        "FROM staff s WHERE s.removed_at IS NULL AND s.email = ?1 COLLATE NOCASE "
                                        "ORDER BY s.id LIMIT 1");
  int result = query.bind(1, email).step();
  if (result == SQLITE_DONE) return Outcome::notFound;
  if (result != SQLITE_ROW) return transaction.fail("read of a member by email");
  member = memberFromRow(query);
  Statement recent = transaction.prepare("SELECT count(*) FROM sign_in_link WHERE staff_id = ?1 AND created_at >= ?2");
  if (recent.bind(1, member.id).bind(2, currentTimeMs() - signInLinkLifetimeMs).step() != SQLITE_ROW) {
    return transaction.fail("read of a member's sign-in links");
  }
  if (recent.integer(0) >= maxLinksPerMember) return Outcome::conflict;
  std::string made = newToken();
  Statement insert = transaction.prepare("INSERT INTO sign_in_link (hash, staff_id, created_at) VALUES (?1, ?2, ?3)");
  if (!insert.bind(1, tokenHash(made)).bind(2, member.id).bind(3, currentTimeMs()).run()) {
    return transaction.fail("write of a sign-in link");
  }
  Outcome committed = transaction.commit();
  if (committed == Outcome::ok) token = made;
  return committed;
}

Outcome findSignInLink(const std::string& token, HostMember& member) {
  ReadSession session;
  return linkMember(session, token, member);
}

Outcome signInWithLink(const std::string& token, HostMember& member, std::string& sessionToken) {
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  Outcome found = linkMember(transaction, token, member);
  if (found != Outcome::ok) return found;
  Statement use = transaction.prepare("UPDATE sign_in_link SET used_at = ?2 WHERE hash = ?1 AND used_at IS NULL");
  if (!use.bind(1, tokenHash(token)).bind(2, currentTimeMs()).run()) return transaction.fail("write of a used sign-in link");
  Outcome inserted = insertSession(transaction, member.id, "link", sessionToken);
  if (inserted != Outcome::ok) return inserted;
  Outcome committed = transaction.commit();
  if (committed != Outcome::ok) sessionToken.clear();
  return committed;
}

Outcome findDirectoryLogin(const std::string& login, HostMember& member, std::string& dn) {
  if (login.empty()) return Outcome::notFound;
  ReadSession session;
  Statement query = session.prepare(std::string("SELECT ") + memberColumns +
                                    ", s.directory_dn FROM staff s WHERE s.removed_at IS NULL AND s.directory_dn IS NOT NULL "
                                    "AND s.directory_login = ?1 COLLATE NOCASE ORDER BY s.id LIMIT 1");
  int result = query.bind(1, login).step();
  if (result == SQLITE_DONE) return Outcome::notFound;
  if (result != SQLITE_ROW) return session.fail("read of a member by directory login");
  member = memberFromRow(query);
  dn = query.text(5);
  return Outcome::ok;
}
