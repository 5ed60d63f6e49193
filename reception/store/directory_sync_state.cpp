#include "store/directory_sync_state.h"

namespace {

const char queuedSlot[] = "queued";
const char runningSlot[] = "running";

bool counts(const DirectorySyncMark& mark, std::int64_t now) { return now - mark.at < directorySyncMarkLifetimeMs; }

// The mark in slot, counting or not; notFound without one.
Outcome readMark(WriteTransaction& transaction, const char* slot, DirectorySyncMark& mark) {
  Statement query = transaction.prepare("SELECT instance, account, at FROM directory_sync_state WHERE slot = ?1");
  int result = query.bind(1, std::string(slot)).step();
  if (result == SQLITE_DONE) return Outcome::notFound;
  if (result != SQLITE_ROW) return transaction.fail("read of the directory sync's marks");
  mark = DirectorySyncMark{query.text(0), query.text(1), query.integer(2)};
  return Outcome::ok;
}

bool writeSlot(WriteTransaction& transaction, const std::string& slot, const std::string& instance,
               const std::string& account, std::int64_t at, const std::optional<std::string>& result) {
  Statement upsert = transaction.prepare(
      "INSERT INTO directory_sync_state (slot, instance, account, at, result) VALUES (?1, ?2, ?3, ?4, ?5) "
      "ON CONFLICT (slot) DO UPDATE SET instance = excluded.instance, account = excluded.account, at = excluded.at, "
      "result = excluded.result");
  upsert.bind(1, slot).bind(2, instance).bind(3, account).bind(4, at).bindOptional(5, result);
  return upsert.run();
}

bool removeOwnMark(WriteTransaction& transaction, const char* slot, const std::string& instance) {
  Statement remove = transaction.prepare("DELETE FROM directory_sync_state WHERE slot = ?1 AND instance = ?2");
  return remove.bind(1, std::string(slot)).bind(2, instance).run();
}

}  // namespace

Outcome readDirectorySyncState(std::int64_t now, StoredDirectorySyncState& state) {
  state = StoredDirectorySyncState{};
  ReadSession session;
  Statement query = session.prepare("SELECT slot, instance, account, at, result FROM directory_sync_state");
  int result;
  while ((result = query.step()) == SQLITE_ROW) {
    std::string slot = query.text(0);
    DirectorySyncMark mark{query.text(1), query.text(2), query.integer(3)};
    if (slot == queuedSlot && counts(mark, now)) state.queued = mark;
    if (slot == runningSlot && counts(mark, now)) state.running = mark;
    if (slot == "last-sync") state.lastSync = query.optionalText(4).value_or("");
    if (slot == "last-preview") state.lastPreview = query.optionalText(4).value_or("");
  }
  if (result == SQLITE_DONE) return Outcome::ok;
  state = StoredDirectorySyncState{};
  return session.fail("read of the directory sync's state");
}

Outcome queueDirectorySync(const std::string& instance, const std::string& account, std::int64_t now) {
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  DirectorySyncMark queued;
  Outcome found = readMark(transaction, queuedSlot, queued);
  if (found == Outcome::ok && counts(queued, now)) return Outcome::conflict;
  if (found != Outcome::ok && found != Outcome::notFound) return found;
  if (!writeSlot(transaction, queuedSlot, instance, account, now, std::nullopt)) {
    return transaction.fail("write of the directory sync's queued mark");
  }
  return transaction.commit();
}

Outcome startDirectorySync(const std::string& instance, const std::string& account, bool fromQueue, std::int64_t now) {
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  DirectorySyncMark running;
  Outcome found = readMark(transaction, runningSlot, running);
  if (found == Outcome::ok && running.instance != instance && counts(running, now)) return Outcome::conflict;
  if (found != Outcome::ok && found != Outcome::notFound) return found;
  if (!writeSlot(transaction, runningSlot, instance, account, now, std::nullopt) ||
      (fromQueue && !removeOwnMark(transaction, queuedSlot, instance))) {
    return transaction.fail("write of the directory sync's running mark");
  }
  return transaction.commit();
}

Outcome finishDirectorySync(const std::string& instance, const std::string& account, bool preview,
                            const std::string& resultJson, std::int64_t at) {
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  if (!writeSlot(transaction, preview ? "last-preview" : "last-sync", instance, account, at, resultJson) ||
      !removeOwnMark(transaction, runningSlot, instance)) {
    return transaction.fail("write of the directory sync's result");
  }
  return transaction.commit();
}

Outcome clearDirectorySyncMarks(const std::string& instance) {
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  if (!removeOwnMark(transaction, queuedSlot, instance) || !removeOwnMark(transaction, runningSlot, instance)) {
    return transaction.fail("removal of the directory sync's marks");
  }
  return transaction.commit();
}
