#include "store/staff.h"

#include <mutex>
#include <unordered_map>

#include "store/clock.h"

namespace {

// Poll times are kept here and saved in a batch by the first poll after
// pollSaveIntervalMs, so that a poll answered from what is stored costs no
// disk write. A clean stop saves them all; a kill loses those not yet saved
// (those of the last few seconds while notifiers poll), which only shows an
// older last poll on the desk page until that notifier polls again.
constexpr std::int64_t pollSaveIntervalMs = 5000;
std::mutex pollMutex;
std::unordered_map<std::int64_t, std::int64_t> unsavedPolls;  // staff id -> time
std::int64_t lastPollSaveMs = 0;

const char* const insertStaffSql =
    "INSERT INTO staff (first_name, last_name, display_name, created_at) VALUES (?1, ?2, ?3, ?4)";

StaffRow staffFromRow(const Statement& row) {
  return StaffRow{row.integer(0), row.text(1), row.text(2), row.text(3), row.optionalInteger(4)};
}

std::unordered_map<std::int64_t, std::int64_t> unsavedPollsNow() {
  std::lock_guard<std::mutex> lock(pollMutex);
  return unsavedPolls;
}

bool savePollRows(WriteTransaction& transaction, const std::unordered_map<std::int64_t, std::int64_t>& polls) {
  if (!transaction.begun()) return false;
  for (const auto& poll : polls) {
    Statement save =
        transaction.prepare("UPDATE staff SET last_poll_at = max(coalesce(last_poll_at, 0), ?2) WHERE id = ?1");
    if (!save.bind(1, poll.first).bind(2, poll.second).run()) return false;
  }
  return transaction.commit() == Outcome::ok;
}

void forgetSaved(const std::unordered_map<std::int64_t, std::int64_t>& polls) {
  std::lock_guard<std::mutex> lock(pollMutex);
  for (const auto& poll : polls) {
    auto kept = unsavedPolls.find(poll.first);
    if (kept != unsavedPolls.end() && kept->second == poll.second) unsavedPolls.erase(kept);
  }
}

// From a poll it never waits: not for a write in progress (which may itself
// be waiting for another process), nor for another process. What fails stays
// unsaved for the next batch.
void savePollsFromPoll() {
  std::unordered_map<std::int64_t, std::int64_t> polls = unsavedPollsNow();
  if (polls.empty()) return;
  WriteWaitBudget noWait(0);
  WriteTransaction transaction{WriteTransaction::IfFree{}};
  if (savePollRows(transaction, polls)) forgetSaved(polls);
}

}  // namespace

void recordPoll(std::int64_t staffId, std::int64_t at) {
  bool saveDue = false;
  {
    std::lock_guard<std::mutex> lock(pollMutex);
    unsavedPolls[staffId] = at;
    if (at - lastPollSaveMs >= pollSaveIntervalMs) {
      lastPollSaveMs = at;
      saveDue = true;
    }
  }
  if (saveDue) savePollsFromPoll();
}

void saveUnsavedPolls() {
  std::unordered_map<std::int64_t, std::int64_t> polls = unsavedPollsNow();
  if (!polls.empty() && databaseIsOpen()) {
    WriteTransaction transaction;
    savePollRows(transaction, polls);
  }
  std::lock_guard<std::mutex> lock(pollMutex);
  unsavedPolls.clear();  // unsaveable: they must not reach another database
  lastPollSaveMs = 0;
}

Outcome activeStaff(std::vector<StaffRow>& staff) {
  // Taken before the rows: a batch saved in between is then still seen here.
  std::unordered_map<std::int64_t, std::int64_t> polls = unsavedPollsNow();
  staff.clear();
  {
    ReadSession session;
    Statement query = session.prepare(
        "SELECT id, first_name, last_name, display_name, last_poll_at FROM staff WHERE removed_at IS NULL "
        "ORDER BY last_name COLLATE NOCASE, first_name COLLATE NOCASE, id");
    int result;
    while ((result = query.step()) == SQLITE_ROW) staff.push_back(staffFromRow(query));
    if (result != SQLITE_DONE) {
      staff.clear();
      return session.fail("read of the staff list");
    }
  }
  for (StaffRow& row : staff) {
    auto unsaved = polls.find(row.id);
    if (unsaved != polls.end() && (!row.lastPollAt || *row.lastPollAt < unsaved->second)) row.lastPollAt = unsaved->second;
  }
  return Outcome::ok;
}

namespace {

// An active member whose first two words are those of displayName but whose
// name is another: the display name, "" for none.
Outcome findClash(WriteTransaction& transaction, const std::string& displayName, std::string& clash) {
  Statement query = transaction.prepare(std::string("SELECT display_name FROM staff WHERE ") + lookupNameSql +
                                        " = ?1 AND removed_at IS NULL AND display_name <> ?2 LIMIT 1");
  int result = query.bind(1, lookupName(displayName)).bind(2, displayName).step();
  clash = result == SQLITE_ROW ? query.text(0) : "";
  return result == SQLITE_ROW || result == SQLITE_DONE ? Outcome::ok : transaction.fail("read of a staff name");
}

}  // namespace

const char lookupNameSql[] =
    "(CASE WHEN instr(substr(display_name, instr(display_name, ' ') + 1), ' ') = 0 THEN display_name "
    "ELSE substr(display_name, 1, instr(display_name, ' ') + instr(substr(display_name, instr(display_name, ' ') + 1), ' ') - 1) END)";

std::string lookupName(const std::string& displayName) {
  std::size_t first = displayName.find(' ');
  if (first == std::string::npos) return displayName;
  return displayName.substr(0, displayName.find(' ', first + 1));
}

Outcome insertStaff(WriteTransaction& transaction, const std::string& firstName, const std::string& lastName,
                    std::int64_t now, std::string* clash) {
  std::string found;
  Outcome checked = findClash(transaction, firstName + " " + lastName, found);
  if (checked != Outcome::ok) return checked;
  if (!found.empty()) {
    if (clash != nullptr) *clash = found;
    return Outcome::conflict;
  }
  Statement insert = transaction.prepare(insertStaffSql);
  insert.bind(1, firstName).bind(2, lastName).bind(3, firstName + " " + lastName).bind(4, now);
  int result = insert.step();
  if (result == SQLITE_CONSTRAINT) return Outcome::conflict;
  return result == SQLITE_DONE ? Outcome::ok : transaction.fail("write of a staff member");
}

Outcome addStaff(const std::string& firstName, const std::string& lastName, StaffRow& added, std::string* clash) {
  return addStaff(firstName, lastName, StaffContact{}, added, clash);
}

Outcome addStaff(const std::string& firstName, const std::string& lastName, const StaffContact& contact, StaffRow& added,
                 std::string* clash) {
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  Outcome inserted = insertStaff(transaction, firstName, lastName, currentTimeMs(), clash);
  if (inserted != Outcome::ok) return inserted;
  StaffRow row{transaction.lastInsertId(), firstName, lastName, firstName + " " + lastName, std::nullopt};
  Statement contacts = transaction.prepare("UPDATE staff SET email = nullif(?2, ''), alert_url = nullif(?3, '') WHERE id = ?1");
  if (!contacts.bind(1, row.id).bind(2, contact.email).bind(3, contact.alertUrl).run()) {
    return transaction.fail("write of a staff member's contacts");
  }
  added = row;  // before the commit, which writes the audit entry that names it
  return transaction.commit();
}

Outcome removeStaff(std::int64_t staffId) {
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  Statement waiting =
      transaction.prepare("SELECT count(*) FROM notification WHERE staff_id = ?1 AND archived_at IS NULL");
  if (waiting.bind(1, staffId).step() != SQLITE_ROW) return transaction.fail("read of a host's guests");
  if (waiting.integer(0) > 0) return Outcome::conflict;
  Statement remove = transaction.prepare("UPDATE staff SET removed_at = ?2 WHERE id = ?1 AND removed_at IS NULL");
  if (!remove.bind(1, staffId).bind(2, currentTimeMs()).run()) return transaction.fail("removal of a staff member");
  if (transaction.changes() == 0) return Outcome::notFound;
  return transaction.commit();
}

void seedDemoStaff() {
  const char* const demo[][2] = {{"José", "Müller"}, {"Anna", "Schmidt"}, {"Chloé", "Dubois"}, {"Liam", "O'Brien"}};
  WriteTransaction transaction;
  if (!transaction.begun()) return;
  Statement count = transaction.prepare("SELECT count(*) FROM staff");
  if (count.step() != SQLITE_ROW || count.integer(0) > 0) return;
  std::int64_t now = currentTimeMs();
  for (const auto& name : demo) {
    if (insertStaff(transaction, name[0], name[1], now) != Outcome::ok) return;
  }
  transaction.commit();
}

namespace {

const char* const selectActiveNames = "SELECT display_name FROM staff WHERE removed_at IS NULL";

// False on a read error, with names left empty.
bool readNames(Statement& query, NameSet& names) {
  names.clear();
  int result;
  while ((result = query.step()) == SQLITE_ROW) names.insert(query.text(0));
  if (result == SQLITE_DONE) return true;
  names.clear();
  return false;
}

}  // namespace

Outcome activeNames(NameSet& names) {
  ReadSession session;
  Statement query = session.prepare(selectActiveNames);
  return readNames(query, names) ? Outcome::ok : session.fail("read of the staff names");
}

Outcome activeNames(WriteTransaction& transaction, NameSet& names) {
  Statement query = transaction.prepare(selectActiveNames);
  return readNames(query, names) ? Outcome::ok : transaction.fail("read of the staff names");
}
