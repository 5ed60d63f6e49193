// Staff rows that come from the directory: marked with the directory's
// identity of the person, deactivated (never deleted) when they leave it and
// reactivated with the same id when they come back.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "store/database.h"

// A staff row that came from the directory, active or deactivated.
struct DirectoryStaff {
  std::int64_t id = 0;
  std::string identity;
  std::string firstName;
  std::string lastName;
  std::optional<std::string> email;
  bool active = true;
};

// The staff as a sync sees them: the rows from the directory, the display
// names of the active staff added by hand, and the ids of the rows from the
// directory that were active before the last three syncs (as they stood
// after the third sync back, or the first when there were fewer; none
// before any sync).
struct DirectoryStaffNow {
  std::vector<DirectoryStaff> rows;
  std::set<std::string> handNames;
  std::vector<std::int64_t> baseline;
  bool operator==(const DirectoryStaffNow& other) const;
};

bool operator==(const DirectoryStaff& one, const DirectoryStaff& other);

// The changes of one sync, written in the caller's transaction.
struct DirectoryStaffChanges {
  std::vector<std::int64_t> deactivated;
  std::vector<DirectoryStaff> updated;  // by id; reactivated too
  std::vector<DirectoryStaff> added;    // id unused
};

Outcome readDirectoryStaff(ReadSession& session, DirectoryStaffNow& now);
Outcome readDirectoryStaff(WriteTransaction& transaction, DirectoryStaffNow& now);
Outcome writeDirectoryStaff(WriteTransaction& transaction, const DirectoryStaffChanges& changes, std::int64_t at);
