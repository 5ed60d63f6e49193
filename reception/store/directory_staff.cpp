#include "store/directory_staff.h"

namespace {

const char* const selectDirectoryRows =
    "SELECT id, directory_id, first_name, last_name, email, removed_at IS NULL FROM staff WHERE directory_id IS NOT NULL";
const char* const selectHandNames = "SELECT display_name FROM staff WHERE directory_id IS NULL AND removed_at IS NULL";
// The audit time of the third applied sync back (or of the first, when there
// were fewer): the sync's rows were written before it. A row deactivated
// and reactivated since then counts as active then; the stop errs on the
// side of letting such a sync through, as before.
const char* const selectBaseline =
    "SELECT id FROM staff WHERE directory_id IS NOT NULL AND created_at <= ?1 AND (removed_at IS NULL OR removed_at > ?1)";
const char* const selectBaselineTime =
    "SELECT at FROM (SELECT id, at FROM audit_log WHERE action = 'directory-sync' ORDER BY id DESC LIMIT 3) AS recent "
    "ORDER BY id LIMIT 1";

// Reads through a session or a transaction: both prepare statements.
template <typename Reader>
bool readStaff(Reader& reader, DirectoryStaffNow& now) {
  now = DirectoryStaffNow{};
  Statement rows = reader.prepare(selectDirectoryRows);
  int result;
  while ((result = rows.step()) == SQLITE_ROW) {
    now.rows.push_back(
        DirectoryStaff{rows.integer(0), rows.text(1), rows.text(2), rows.text(3), rows.optionalText(4), rows.integer(5) != 0});
  }
  if (result != SQLITE_DONE) return false;
  Statement hand = reader.prepare(selectHandNames);
  while ((result = hand.step()) == SQLITE_ROW) now.handNames.insert(hand.text(0));
  if (result != SQLITE_DONE) return false;
  Statement time = reader.prepare(selectBaselineTime);
  result = time.step();
  if (result == SQLITE_DONE) return true;
  if (result != SQLITE_ROW) return false;
  Statement baseline = reader.prepare(selectBaseline);
  baseline.bind(1, time.integer(0));
  while ((result = baseline.step()) == SQLITE_ROW) now.baseline.push_back(baseline.integer(0));
  return result == SQLITE_DONE;
}

bool deactivate(WriteTransaction& transaction, const std::vector<std::int64_t>& ids, std::int64_t at) {
  for (std::int64_t id : ids) {
    Statement update = transaction.prepare("UPDATE staff SET removed_at = ?2 WHERE id = ?1 AND removed_at IS NULL");
    if (!update.bind(1, id).bind(2, at).run()) return false;
  }
  return true;
}

// Names are unique among active staff and checked per statement, so renamed
// rows first give up their names ("#id" has no space: no staff name is like
// it); then a swap of two names goes through.
bool update(WriteTransaction& transaction, const std::vector<DirectoryStaff>& rows) {
  for (const DirectoryStaff& row : rows) {
    Statement release = transaction.prepare("UPDATE staff SET display_name = '#' || id WHERE id = ?1");
    if (!release.bind(1, row.id).run()) return false;
  }
  for (const DirectoryStaff& row : rows) {
    Statement change = transaction.prepare(
        "UPDATE staff SET first_name = ?2, last_name = ?3, display_name = ?2 || ' ' || ?3, email = ?4, removed_at = NULL "
        "WHERE id = ?1");
    if (!change.bind(1, row.id).bind(2, row.firstName).bind(3, row.lastName).bindOptional(4, row.email).run()) return false;
  }
  return true;
}

bool add(WriteTransaction& transaction, const std::vector<DirectoryStaff>& rows, std::int64_t at) {
  for (const DirectoryStaff& row : rows) {
    Statement insert = transaction.prepare(
        "INSERT INTO staff (first_name, last_name, display_name, created_at, directory_id, email) "
        "VALUES (?1, ?2, ?1 || ' ' || ?2, ?3, ?4, ?5)");
    insert.bind(1, row.firstName).bind(2, row.lastName).bind(3, at).bind(4, row.identity).bindOptional(5, row.email);
    if (!insert.run()) return false;
  }
  return true;
}

}  // namespace

bool operator==(const DirectoryStaff& one, const DirectoryStaff& other) {
  return one.id == other.id && one.identity == other.identity && one.firstName == other.firstName &&
         one.lastName == other.lastName && one.email == other.email && one.active == other.active;
}

bool DirectoryStaffNow::operator==(const DirectoryStaffNow& other) const {
  return rows == other.rows && handNames == other.handNames && baseline == other.baseline;
}

Outcome readDirectoryStaff(ReadSession& session, DirectoryStaffNow& now) {
  return readStaff(session, now) ? Outcome::ok : session.fail("read of the staff for a directory sync");
}

Outcome readDirectoryStaff(WriteTransaction& transaction, DirectoryStaffNow& now) {
  return readStaff(transaction, now) ? Outcome::ok : transaction.fail("read of the staff for a directory sync");
}

Outcome writeDirectoryStaff(WriteTransaction& transaction, const DirectoryStaffChanges& changes, std::int64_t at) {
  if (!deactivate(transaction, changes.deactivated, at) || !update(transaction, changes.updated) ||
      !add(transaction, changes.added, at)) {
    return transaction.fail("write of the staff from the directory");
  }
  return Outcome::ok;
}
