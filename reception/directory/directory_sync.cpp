#include "directory/directory_sync.h"

#include <optional>

#include "log/service_log.h"
#include "config/secret_file.h"
#include "metrics/metrics.h"
#include "store/audit.h"
#include "store/clock.h"
#include "store/directory_logins.h"
#include "store/directory_staff.h"
#include "text/url_host.h"

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

bool readStaffNow(DirectoryStaffNow& now) {
  ReadSession session;
  return readDirectoryStaff(session, now) == Outcome::ok;
}

std::vector<DirectoryLogin> loginsOf(const std::vector<DirectoryEntry>& entries) {
  std::vector<DirectoryLogin> logins;
  logins.reserve(entries.size());
  for (const DirectoryEntry& entry : entries) logins.push_back({entry.identity, entry.dn, entry.login});
  return logins;
}

// A plan made on a reading that is no longer true is made again; the staff
// rarely change while a sync runs, so a few attempts do.
constexpr int planAttempts = 3;

}  // namespace

// The plan is made on the read connection, so polls and the desk's writes
// go on meanwhile; the write transaction only checks that the staff are as
// they were read and applies it.
DirectoryApply applyDirectorySync(const std::vector<DirectoryEntry>& entries, bool dryRun, bool force,
                                  DirectoryPlan& plan) {
  for (int attempt = 0; attempt < planAttempts; ++attempt) {
    DirectoryStaffNow planned;
    if (!readStaffNow(planned)) return DirectoryApply::failed;
    plan = planDirectorySync(entries, planned.rows, planned.handNames, planned.baseline);
    if (dryRun) return DirectoryApply::previewed;
    if (exceedsSafetyStop(plan) && !force) return DirectoryApply::safetyStop;
    WriteTransaction transaction;
    DirectoryStaffNow now;
    if (!transaction.begun() || readDirectoryStaff(transaction, now) != Outcome::ok) return DirectoryApply::failed;
    if (!(now == planned)) continue;
    if (writeDirectoryStaff(transaction, changesOf(plan), currentTimeMs()) != Outcome::ok ||
        writeDirectoryLogins(transaction, loginsOf(entries)) != Outcome::ok || transaction.commit() != Outcome::ok) {
      return DirectoryApply::failed;
    }
    return DirectoryApply::applied;
  }
  return DirectoryApply::failed;
}

namespace {

std::string safetyStopReason(const DirectoryPlan& plan) {
  if (plan.deactivated.size() * 2 <= plan.activeBefore) {
    return "the sync would leave " + std::to_string(plan.baselineGone) + " of the " +
           std::to_string(plan.baselineActive) +
           " staff from the directory active before the last three syncs deactivated (more than half), so nothing "
           "was changed; check the filter and the base, or sync with --force";
  }
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
  settings.maxEntries = static_cast<std::size_t>(options.maxEntries);
  settings.loginAttribute = options.loginAttribute;
  settings.password.clear();
  if (sendsPasswordInClear(options)) {
    logEvent("warning: the directory's bind password goes in clear to " + urlHost(options.url) +
             " (--ldap-tls none, --ldap-allow-plaintext)");
  }
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
