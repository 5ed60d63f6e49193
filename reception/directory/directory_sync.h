// One sync of the staff from the directory: read it whole, then plan and
// apply the changes in one transaction, and audit what happened.
#pragma once

#include <cstdint>
#include <string>

#include "directory/directory_diff.h"
#include "directory/directory_options.h"
#include "directory/ldap_reader.h"

enum class DirectoryApply { applied, previewed, safetyStop, failed };

// Plans the sync of entries against the staff as they are now and, unless
// dryRun, applies it in one transaction with that reading. A plan past the
// safety stop is applied only with force. plan is filled in every case but
// failed (logged).
DirectoryApply applyDirectorySync(const std::vector<DirectoryEntry>& entries, bool dryRun, bool force,
                                  DirectoryPlan& plan);

enum class DirectorySyncOutcome {
  applied,
  previewed,    // a dry run: the plan, nothing written
  unreachable,  // the directory could not be reached, bound or searched
  safetyStop,   // the plan would deactivate more than half, without force
  failed,       // the database could not be read or written
};

struct DirectorySyncResult {
  DirectorySyncOutcome outcome = DirectorySyncOutcome::failed;
  std::string reason;  // why it did not apply, for every outcome but applied and previewed
  DirectoryPlan plan;  // set for applied, previewed and safetyStop
  std::int64_t at = 0;
  bool dryRun = false;
};

// The settings of a read from the options, with the password from its
// file's first line (without its line end); "" or why not.
std::string ldapSettingsFrom(const DirectoryOptions& options, LdapSettings& settings);

struct SyncRequest {
  bool dryRun = false;
  bool force = false;
  std::string by;       // the audit log's account: a desk account, "(command line)" or "(scheduled)"
  std::string address;  // the desk's client address, or ""
};

// Reads the directory and syncs the staff from it. Every outcome but a dry
// run is written to the audit log, with the counts or the reason.
DirectorySyncResult syncDirectory(const LdapSettings& settings, const SyncRequest& request);

// One line: the counts, and the reason when it did not apply.
std::string resultLine(const DirectorySyncResult& result);
