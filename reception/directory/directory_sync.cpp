#include "directory/directory_sync.h"

#include <optional>

#include "config/secret_file.h"
#include "metrics/metrics.h"
#include "store/audit.h"
#include "store/clock.h"
#include "store/directory_staff.h"

namespace {

DirectoryStaffChanges changesOf(const DirectoryPlan& plan) {
  DirectoryStaffChanges changes;
  for (const DeactivatedStaff& staff : plan.deactivated) changes.deactivated.push_back(staff.id);
  for (const StaffUpdate& change : plan.updated) {
    const DirectoryEntry& entry = change.entry;
    changes.updated.push_back(DirectoryStaff{change.id, entry.identity, entry.firstName, entry.lastName, entry.email, true});
  }
  for (const DirectoryEntry& entry : plan.added) {
    changes.added.push_back(DirectoryStaff{0, entry.identity, entry.firstName, entry.lastName, entry.email, true});
  }
  return changes;
}

DirectoryApply preview(const std::vector<DirectoryEntry>& entries, DirectoryPlan& plan) {
  DirectoryStaffNow now;
  {
    ReadSession session;
    if (readDirectoryStaff(session, now) != Outcome::ok) return DirectoryApply::failed;
  }
  plan = planDirectorySync(entries, now.rows, now.handNames);
  return DirectoryApply::previewed;
}

}  // namespace

DirectoryApply applyDirectorySync(const std::vector<DirectoryEntry>& entries, bool dryRun, bool force,
                                  DirectoryPlan& plan) {
  if (dryRun) return preview(entries, plan);
  WriteTransaction transaction;
  DirectoryStaffNow now;
  if (!transaction.begun() || readDirectoryStaff(transaction, now) != Outcome::ok) return DirectoryApply::failed;
  plan = planDirectorySync(entries, now.rows, now.handNames);
  if (exceedsSafetyStop(plan) && !force) return DirectoryApply::safetyStop;
  if (writeDirectoryStaff(transaction, changesOf(plan), currentTimeMs()) != Outcome::ok ||
      transaction.commit() != Outcome::ok) {
    return DirectoryApply::failed;
  }
  return DirectoryApply::applied;
}

namespace {

std::string safetyStopReason(const DirectoryPlan& plan) {
  return "the sync would deactivate " + std::to_string(plan.deactivated.size()) + " of the " +
         std::to_string(plan.activeBefore) +
         " staff from the directory (more than half), so nothing was changed; check the filter and the base, "
         "or sync with --force";
}

// The entry of a sync that changed nothing; an applied one commits its entry with its changes.
void auditResult(const DirectorySyncResult& result, const SyncRequest& request) {
  if (result.outcome == DirectorySyncOutcome::previewed || result.outcome == DirectorySyncOutcome::applied) return;
  const char* action = result.outcome == DirectorySyncOutcome::applied      ? "directory-sync"
                       : result.outcome == DirectorySyncOutcome::safetyStop ? "directory-sync-stopped"
                                                                           : "directory-sync-failed";
  recordAudit(request.by, request.address, action, resultLine(result));
}

}  // namespace

std::string ldapSettingsFrom(const DirectoryOptions& options, LdapSettings& settings) {
  std::string error = checkDirectoryOptions(options);
  if (!error.empty()) return error;
  settings.url = options.url;
  settings.startTls = usesStartTls(options);
  settings.caFile = options.caFile;
  settings.bindDn = options.bindDn;
  settings.base = options.base;
  settings.filter = options.filter;
  settings.password.clear();
  if (options.passwordFile.empty()) return "";
  return readSecretFile(options.passwordFile, "LDAP", settings.password);
}

DirectorySyncResult syncDirectory(const LdapSettings& settings, const SyncRequest& request) {
  DirectorySyncResult result;
  result.dryRun = request.dryRun;
  std::vector<DirectoryEntry> entries;
  // Read whole before the database is touched: a failure on any page changes nothing.
  result.reason = readDirectory(settings, entries);
  result.at = currentTimeMs();
  if (!result.reason.empty()) {
    result.outcome = DirectorySyncOutcome::unreachable;
  } else {
    std::optional<AuditedChange> audited;
    if (!request.dryRun) {
      audited.emplace([&result, &request] {
        return AuditEntry{0, 0, request.by, request.address, "directory-sync", planSummary(result.plan)};
      });
    }
    switch (applyDirectorySync(entries, request.dryRun, request.force, result.plan)) {
      case DirectoryApply::applied: result.outcome = DirectorySyncOutcome::applied; break;
      case DirectoryApply::previewed:
        // A dry run says whether the real sync would stop.
        result.outcome = DirectorySyncOutcome::previewed;
        if (exceedsSafetyStop(result.plan) && !request.force) {
          result.outcome = DirectorySyncOutcome::safetyStop;
          result.reason = safetyStopReason(result.plan);
        }
        break;
      case DirectoryApply::safetyStop:
        result.outcome = DirectorySyncOutcome::safetyStop;
        result.reason = safetyStopReason(result.plan);
        break;
      case DirectoryApply::failed:
        result.outcome = DirectorySyncOutcome::failed;
        result.reason = "the staff could not be read or saved in the database; nothing was changed";
        break;
    }
  }
  if (!request.dryRun) auditResult(result, request);
  if (result.outcome == DirectorySyncOutcome::applied) noteDirectorySyncSuccess(result.at / 1000);
  return result;
}

std::string resultLine(const DirectorySyncResult& result) {
  switch (result.outcome) {
    case DirectorySyncOutcome::applied:
    case DirectorySyncOutcome::previewed: return planSummary(result.plan);
    case DirectorySyncOutcome::safetyStop: return planSummary(result.plan) + "; stopped: " + result.reason;
    default: return "nothing changed: " + result.reason;
  }
}
