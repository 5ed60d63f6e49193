#include "store/sso_pending.h"

namespace {

// A flood of started sign-ins pushes out the oldest, never the newest.
Outcome forgetOldest(WriteTransaction& transaction, std::int64_t keepAtMost) {
  Statement count = transaction.prepare("SELECT count(*) FROM sso_pending");
  if (count.step() != SQLITE_ROW) return transaction.fail("count of the sign-ins under way");
  std::int64_t beyond = count.integer(0) - keepAtMost;
  if (beyond <= 0) return Outcome::ok;
  Statement forget = transaction.prepare(
      "DELETE FROM sso_pending WHERE key_hash IN "
      "(SELECT key_hash FROM sso_pending ORDER BY started_at, key_hash LIMIT ?1)");
  if (!forget.bind(1, beyond).run()) return transaction.fail("removal of the oldest sign-ins under way");
  return Outcome::ok;
}

}  // namespace

Outcome savePendingSignIn(const std::string& keyHash, const StoredSignIn& signIn, std::int64_t forgetUpTo,
                          std::int64_t keepAtMost) {
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  Statement expired = transaction.prepare("DELETE FROM sso_pending WHERE started_at <= ?1");
  if (!expired.bind(1, forgetUpTo).run()) return transaction.fail("removal of expired sign-ins");
  Outcome trimmed = forgetOldest(transaction, keepAtMost - 1);
  if (trimmed != Outcome::ok) return trimmed;
  Statement insert = transaction.prepare(
      "INSERT INTO sso_pending (key_hash, state, nonce, verifier, purpose, started_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
  insert.bind(1, keyHash).bind(2, signIn.state).bind(3, signIn.nonce).bind(4, signIn.verifier);
  if (!insert.bind(5, signIn.purpose).bind(6, signIn.startedAt).run()) return transaction.fail("write of a sign-in");
  return transaction.commit();
}

Outcome takePendingSignIn(const std::string& keyHash, StoredSignIn& signIn) {
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  Statement query = transaction.prepare(
      "SELECT state, nonce, verifier, purpose, started_at FROM sso_pending WHERE key_hash = ?1");
  int result = query.bind(1, keyHash).step();
  if (result == SQLITE_DONE) return Outcome::notFound;
  if (result != SQLITE_ROW) return transaction.fail("read of a sign-in");
  signIn = StoredSignIn{query.text(0), query.text(1), query.text(2), query.text(3), query.integer(4)};
  Statement remove = transaction.prepare("DELETE FROM sso_pending WHERE key_hash = ?1");
  if (!remove.bind(1, keyHash).run()) return transaction.fail("removal of a used sign-in");
  return transaction.commit();
}
