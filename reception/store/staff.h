// The staff directory and each member's last poll. A poll's time is kept in
// memory and saved in batches every few seconds and when the store closes.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "store/database.h"

struct StaffRow {
  std::int64_t id = 0;
  std::string firstName;
  std::string lastName;
  std::string displayName;
  std::optional<std::int64_t> lastPollAt;
};

// A member of staff's own ways to be alerted; "" for none.
struct StaffContact {
  std::string email;
  std::string alertUrl;
};

using NameSet = std::set<std::string, std::less<>>;

// The active staff, by first name; a read error is never a shorter list.
Outcome activeStaff(std::vector<StaffRow>& staff);
// conflict: an active member has that name. With its contacts, in one transaction.
Outcome addStaff(const std::string& firstName, const std::string& lastName, const StaffContact& contact, StaffRow& added);
Outcome addStaff(const std::string& firstName, const std::string& lastName, StaffRow& added);
// conflict while guests are waiting for that member of staff.
Outcome removeStaff(std::int64_t staffId);
// Adds the demo staff directory when there are no staff at all.
void seedDemoStaff();
// The active staff member with that first and last name.
Outcome findStaff(const std::string& firstName, const std::string& lastName, std::int64_t& staffId);

// The active staff's display names, read alone or within a write (to add to them).
Outcome activeNames(NameSet& names);
Outcome activeNames(WriteTransaction& transaction, NameSet& names);
Outcome insertStaff(WriteTransaction& transaction, const std::string& firstName, const std::string& lastName,
                    std::int64_t now);

// Notes a notifier's poll; saved with the next batch.
void recordPoll(std::int64_t staffId, std::int64_t at);
// Writes the poll times not yet saved (at closing).
void saveUnsavedPolls();
