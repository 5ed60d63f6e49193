#include "sso/sso_accounts.h"

#include "store/clock.h"

namespace {

// Cannot match any Argon2id hash: local password logins to the account fail.
constexpr char noPassword[] = "!sso";

Outcome readAccountIn(WriteTransaction& transaction, std::int64_t id, DeskAccount& account) {
  // A kiosk is a desk account with a row in kiosk_account (see store/accounts).
  Statement query = transaction.prepare(
      "SELECT id, name, CASE WHEN EXISTS (SELECT 1 FROM kiosk_account k WHERE k.account_id = desk_account.id) "
      "THEN 'kiosk' ELSE role END, created_at, last_login_at FROM desk_account WHERE id = ?1");
  if (query.bind(1, id).step() != SQLITE_ROW) return transaction.fail("read of a single sign-on account");
  account = DeskAccount{query.integer(0), query.text(1), query.text(2), query.integer(3), query.optionalInteger(4)};
  return Outcome::ok;
}

Outcome addAccountFor(WriteTransaction& transaction, const std::string& issuer, const std::string& subject,
                      const std::string& name, const std::string& role, std::int64_t& id) {
  Statement insert =
      transaction.prepare("INSERT INTO desk_account (name, role, password_hash, created_at) VALUES (?1, ?2, ?3, ?4)");
  int result = insert.bind(1, name).bind(2, role).bind(3, std::string(noPassword)).bind(4, currentTimeMs()).step();
  if (result == SQLITE_CONSTRAINT) return Outcome::conflict;
  if (result != SQLITE_DONE) return transaction.fail("write of a single sign-on account");
  id = transaction.lastInsertId();
  Statement link = transaction.prepare("INSERT INTO sso_identity (issuer, subject, account_id) VALUES (?1, ?2, ?3)");
  if (!link.bind(1, issuer).bind(2, subject).bind(3, id).run()) return transaction.fail("write of a single sign-on identity");
  return Outcome::ok;
}

// The kiosk role is the desk's plus the kiosk mark, set or cleared by the groups at each sign-in.
Outcome markKiosk(WriteTransaction& transaction, std::int64_t id, bool kiosk) {
  Statement mark = transaction.prepare(kiosk ? "INSERT OR IGNORE INTO kiosk_account (account_id) VALUES (?1)"
                                             : "DELETE FROM kiosk_account WHERE account_id = ?1");
  if (!mark.bind(1, id).run()) return transaction.fail("write of a single sign-on account's kiosk mark");
  return Outcome::ok;
}

}  // namespace

Outcome signInSsoAccount(const std::string& issuer, const std::string& subject, const std::string& name,
                         const std::string& role, DeskAccount& account) {
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  std::int64_t id = 0;
  {
    Statement known = transaction.prepare("SELECT account_id FROM sso_identity WHERE issuer = ?1 AND subject = ?2");
    int result = known.bind(1, issuer).bind(2, subject).step();
    if (result == SQLITE_ROW) {
      id = known.integer(0);
    } else if (result != SQLITE_DONE) {
      return transaction.fail("read of a single sign-on identity");
    }
  }
  const std::string storedRole = role == "kiosk" ? "desk" : role;
  if (id == 0) {
    Outcome added = addAccountFor(transaction, issuer, subject, name, storedRole, id);
    if (added != Outcome::ok) return added;
  } else if (!transaction.prepare("UPDATE desk_account SET role = ?2 WHERE id = ?1").bind(1, id).bind(2, storedRole).run()) {
    return transaction.fail("write of a single sign-on account's role");
  }
  Outcome marked = markKiosk(transaction, id, role == "kiosk");
  if (marked != Outcome::ok) return marked;
  DeskAccount found;
  Outcome read = readAccountIn(transaction, id, found);
  if (read != Outcome::ok) return read;
  Outcome committed = transaction.commit();
  if (committed == Outcome::ok) account = found;
  return committed;
}

Outcome endSsoAccountSessions(const std::string& issuer, const std::string& subject) {
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  Statement end = transaction.prepare(
      "DELETE FROM desk_session WHERE account_id = (SELECT account_id FROM sso_identity WHERE issuer = ?1 AND subject = ?2)");
  if (!end.bind(1, issuer).bind(2, subject).run()) return transaction.fail("removal of a single sign-on account's sessions");
  return transaction.commit();
}
