// Erasing a visitor on request: every visit, invitation, announcement,
// alert row and reply link of theirs deleted, and the audit entries that
// named them rewritten without the name. The database overwrites what it
// deletes (secure_delete), and checkpointWal then takes the old pages out
// of the WAL, so the name is gone from the files, not only from the tables.
#pragma once

#include <cstdint>
#include <string>

#include "store/database.h"

// Who to erase: by the guest's name (as entered, any case) or by the email
// address of their invitations (and the visits those started).
struct VisitorToErase {
  std::string guestName;
  std::string guestEmail;
};

// What stands in an audit entry where the visitor's name was.
constexpr char erasedName[] = "(erased visitor)";

// erased: the visits deleted, counting announcements made before visits were kept.
Outcome eraseVisitor(const VisitorToErase& visitor, std::int64_t& erased);
