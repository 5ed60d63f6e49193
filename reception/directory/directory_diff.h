// What a directory sync changes: the directory's people against the staff
// rows that came from it, worked out without touching the database.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "store/directory_staff.h"

// One person as the directory lists them.
struct DirectoryEntry {
  std::string dn;
  std::string identity;  // entryUUID, else objectGUID (hex), else the DN
  std::string firstName;  // givenName
  std::string lastName;   // sn
  std::optional<std::string> email;  // mail
  std::string problem;  // why the reader rejected it already (a value too long); "" if it did not
  std::string login{};  // the login attribute (uid; sAMAccountName on Active Directory): hosts sign in with it
};


struct StaffUpdate {
  std::int64_t id = 0;
  DirectoryEntry entry;
  std::string before;  // the display name before the change
  bool reactivated = false;
};

struct DeactivatedStaff {
  std::int64_t id = 0;
  std::string displayName;
};

struct RejectedEntry {
  std::string dn;
  std::string reason;
};

struct DirectoryPlan {
  std::vector<DirectoryEntry> added;
  std::vector<StaffUpdate> updated;  // renamed, new mail, or reactivated
  std::vector<DeactivatedStaff> deactivated;
  std::size_t unchanged = 0;
  std::vector<RejectedEntry> rejected;
  std::size_t activeBefore = 0;  // active staff from the directory before the sync
  // The staff from the directory active before the last three syncs, and
  // how many of them this sync would leave deactivated: a directory emptied
  // over several syncs (stand-ins added first, the real people dropped
  // after) stops as one emptied at once.
  std::size_t baselineActive = 0;
  std::size_t baselineGone = 0;
};

// Matches entries to rows by identity. handNames are the display names of
// the active staff added by hand: they stay as they are, so an entry with
// one of their names is rejected, as is an entry whose name breaks the staff
// form's rules or is taken by another entry. A rejected entry's row (if any)
// is left as it is. Rows whose entry is gone are deactivated. baseline: the
// ids of the rows active before the last three syncs.
DirectoryPlan planDirectorySync(const std::vector<DirectoryEntry>& entries, const std::vector<DirectoryStaff>& rows,
                                const std::set<std::string>& handNames, const std::vector<std::int64_t>& baseline = {});

// The safety stop: more than half of the directory's active staff would go,
// or more than half of those active before the last three syncs.
bool exceedsSafetyStop(const DirectoryPlan& plan);

// "added N, updated N, deactivated N, unchanged N, rejected N".
std::string planSummary(const DirectoryPlan& plan);

// The mail attribute as stored: NULL unless it looks like one address.
std::optional<std::string> usableEmail(const std::string& mail);
