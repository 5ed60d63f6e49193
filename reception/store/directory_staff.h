// Staff rows that come from the directory: marked with the directory's
// identity of the person, deactivated (never deleted) when they leave it and
// reactivated with the same id when they come back. Uses the connection of
// database.h.
#pragma once

#include <vector>

#include "directory/directory_diff.h"

// Adds staff.directory_id and staff.email, each only when missing (another
// change may already have added email), and the index on directory_id.
// Called from the storage's schema steps. False on an error (SQLite's
// message is then current).
bool addDirectoryColumns();

enum class DirectoryApply { applied, previewed, safetyStop, failed };

// Plans the sync of entries against the staff as they are now and, unless
// dryRun, applies it in one transaction with that reading. A plan past the
// safety stop is applied only with force. plan is filled in every case but
// failed (logged).
DirectoryApply applyDirectorySync(const std::vector<DirectoryEntry>& entries, bool dryRun, bool force,
                                  DirectoryPlan& plan);
