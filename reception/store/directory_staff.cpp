#include "store/directory_staff.h"

#include <mutex>
#include <set>
#include <string>

#include "database.h"
#include "storage.h"

namespace {

bool hasStaffColumn(const char* column) {
  Use query("SELECT 1 FROM pragma_table_info('staff') WHERE name = ?1");
  return query.bind(1, std::string(column)).step() == SQLITE_ROW;
}

bool addStaffColumn(const char* column, const char* type) {
  if (hasStaffColumn(column)) return true;
  return execute((std::string("ALTER TABLE staff ADD COLUMN ") + column + " " + type).c_str());
}

struct StaffNow {
  std::vector<DirectoryStaff> rows;
  std::set<std::string> handNames;
};

// Reads through make (a Use on the write or the read connection).
template <typename MakeUse>
bool readStaff(MakeUse make, StaffNow& now) {
  Use rows = make("SELECT id, directory_id, first_name, last_name, email IS NOT NULL, coalesce(email, ''), "
                  "removed_at IS NULL FROM staff WHERE directory_id IS NOT NULL");
  int result;
  while ((result = rows.step()) == SQLITE_ROW) {
    DirectoryStaff row{rows.integer(0), rows.text(1), rows.text(2), rows.text(3), std::nullopt, rows.integer(6) != 0};
    if (rows.integer(4) != 0) row.email = rows.text(5);
    now.rows.push_back(std::move(row));
  }
  if (result != SQLITE_DONE) return false;
  Use hand = make("SELECT display_name FROM staff WHERE directory_id IS NULL AND removed_at IS NULL");
  while ((result = hand.step()) == SQLITE_ROW) now.handNames.insert(hand.text(0));
  return result == SQLITE_DONE;
}

bool deactivate(const DirectoryPlan& plan, std::int64_t now) {
  for (const DeactivatedStaff& staff : plan.deactivated) {
    Use update("UPDATE staff SET removed_at = ?2 WHERE id = ?1 AND removed_at IS NULL");
    if (!update.bind(1, staff.id).bind(2, now).run()) return false;
  }
  return true;
}

// Names are unique among active staff and checked per statement, so renamed
// rows first give up their names ("#id" has no space: no staff name is like
// it); then a swap of two names goes through.
bool update(const DirectoryPlan& plan) {
  for (const StaffUpdate& change : plan.updated) {
    Use release("UPDATE staff SET display_name = '#' || id WHERE id = ?1");
    if (!release.bind(1, change.id).run()) return false;
  }
  for (const StaffUpdate& change : plan.updated) {
    const DirectoryEntry& entry = change.entry;
    Use update("UPDATE staff SET first_name = ?2, last_name = ?3, display_name = ?2 || ' ' || ?3, "
               "email = nullif(?4, ''), removed_at = NULL WHERE id = ?1");
    if (!update.bind(1, change.id).bind(2, entry.firstName).bind(3, entry.lastName).bind(4, entry.email.value_or("")).run()) {
      return false;
    }
  }
  return true;
}

bool add(const DirectoryPlan& plan, std::int64_t now) {
  for (const DirectoryEntry& entry : plan.added) {
    Use insert("INSERT INTO staff (first_name, last_name, display_name, created_at, directory_id, email) "
               "VALUES (?1, ?2, ?1 || ' ' || ?2, ?3, ?4, nullif(?5, ''))");
    insert.bind(1, entry.firstName).bind(2, entry.lastName).bind(3, now).bind(4, entry.identity);
    if (!insert.bind(5, entry.email.value_or("")).run()) return false;
  }
  return true;
}

DirectoryApply preview(const std::vector<DirectoryEntry>& entries, DirectoryPlan& plan) {
  StaffNow now;
  {
    std::unique_lock<std::mutex> lock = lockForReading();
    if (!readStaff([](const std::string& sql) { return Use::reading(sql); }, now)) {
      reportError("read of the staff for a directory sync", readDatabase);
      return DirectoryApply::failed;
    }
  }
  plan = planDirectorySync(entries, now.rows, now.handNames);
  return DirectoryApply::previewed;
}

}  // namespace

bool addDirectoryColumns() {
  return addStaffColumn("directory_id", "TEXT") && addStaffColumn("email", "TEXT") &&
         execute("CREATE UNIQUE INDEX IF NOT EXISTS staff_directory_id ON staff(directory_id) "
                 "WHERE directory_id IS NOT NULL");
}

DirectoryApply applyDirectorySync(const std::vector<DirectoryEntry>& entries, bool dryRun, bool force,
                                  DirectoryPlan& plan) {
  if (dryRun) return preview(entries, plan);
  std::lock_guard<std::mutex> lock(databaseMutex);
  Transaction transaction;
  StaffNow now;
  if (!transaction.begun() || !readStaff([](const std::string& sql) { return Use(sql); }, now)) {
    reportError("read of the staff for a directory sync");
    return DirectoryApply::failed;
  }
  plan = planDirectorySync(entries, now.rows, now.handNames);
  if (exceedsSafetyStop(plan) && !force) return DirectoryApply::safetyStop;
  std::int64_t at = currentTimeMs();
  if (!deactivate(plan, at) || !update(plan) || !add(plan, at) || !transaction.commit()) {
    reportError("write of the staff from the directory");
    return DirectoryApply::failed;
  }
  return DirectoryApply::applied;
}
