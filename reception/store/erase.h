// Erasing a visitor on request: every visit, invitation, announcement,
// alert row and reply link of theirs deleted, and the audit entries that
// named them rewritten without the name. SQLite overwrites what it deletes
// (secure_delete), and checkpointWal then takes the old pages out of the
// WAL; PostgreSQL keeps deleted rows in its table files until the tables are
// rewritten (rewriteVisitorTables). Either way the name is then gone from
// the table files, not only from the tables.
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

// The audit actions of an erase, and of the rewrite that follows it.
constexpr char eraseAction[] = "erase-visitor";
constexpr char rewriteAction[] = "erase-rewrite";
constexpr char rewriteFailedAction[] = "erase-rewrite-failed";

// On PostgreSQL, rewrites the tables that hold visitors (VACUUM FULL, which
// locks each table while it is copied): "" when done, else why not. On
// SQLite there is nothing to do.
std::string rewriteVisitorTables();
// After erasures: when an erase is newer in the audit log than the last
// rewrite, rewrites now and audits the result as who did it. ok when
// nothing was due or on SQLite, failed when the rewrite failed.
Outcome rewriteAfterErase(const std::string& who);
