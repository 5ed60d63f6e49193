#include "directory/directory_sync.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include "audit.h"
#include "storage.h"
#include "store/directory_staff.h"

namespace {

std::string safetyStopReason(const DirectoryPlan& plan) {
  return "the sync would deactivate " + std::to_string(plan.deactivated.size()) + " of the " +
         std::to_string(plan.activeBefore) +
         " staff from the directory (more than half), so nothing was changed; check the filter and the base, "
         "or sync with --force";
}

void auditResult(const DirectorySyncResult& result, const SyncRequest& request) {
  if (result.outcome == DirectorySyncOutcome::previewed) return;
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
  std::ifstream file(options.passwordFile, std::ios::binary);
  if (!file) return "cannot read the password file " + options.passwordFile + ": " + std::strerror(errno);
  std::getline(file, settings.password);
  if (!settings.password.empty() && settings.password.back() == '\r') settings.password.pop_back();
  return "";
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
