#include "directory/directory_desk_api.h"

#include "directory/directory_worker.h"
#include "store/audit.h"
#include "store/clock.h"
#include "store/directory_sync_state.h"

using nlohmann::json;

namespace {

// A result as the worker stored it, or null.
json storedResult(const std::string& text) {
  if (text.empty()) return nullptr;
  json result = json::parse(text, nullptr, false);
  return result.is_discarded() ? json(nullptr) : result;
}

// The last sync as the audit log keeps it, whoever ran it (the desk, the
// schedule or directory-sync on the command line), so it outlives a restart.
json recordedSyncJson() {
  std::optional<AuditEntry> entry;
  const std::vector<std::string> actions = {"directory-sync", "directory-sync-stopped", "directory-sync-failed"};
  if (latestAuditOf(actions, entry) != Outcome::ok || !entry) return nullptr;
  const char* outcome = entry->action == actions[0]   ? "applied"
                        : entry->action == actions[1] ? "safetyStop"
                                                      : "failed";
  return {{"at", entry->at}, {"outcome", outcome}, {"by", entry->account}, {"summary", entry->detail}};
}

}  // namespace

// From the database, so that every instance answers the same.
HttpResponse directorySyncState(const DeskCall&) {
  DirectoryWorkerSettings settings = directoryWorkerSettings();
  StoredDirectorySyncState stored;
  Outcome read = readDirectorySyncState(currentTimeMs(), stored);
  if (read != Outcome::ok) return storeFailure(read, Failure::readFailed);
  return jsonAnswer(200, {{"configured", settings.configured},
                          {"syncMinutes", settings.syncMinutes},
                          {"running", stored.running.has_value()},
                          {"queued", stored.queued.has_value()},
                          {"lastSync", storedResult(stored.lastSync)},
                          {"lastRecordedSync", recordedSyncJson()},
                          {"lastPreview", storedResult(stored.lastPreview)}});
}

HttpResponse directorySyncRequest(const DeskCall& call) {
  json body = json::parse(call.request.body, nullptr, false);
  if (!body.is_object()) return errorAnswer(400, "Send {\"dryRun\": true or false}.");
  json dryRun = body.value("dryRun", json(false));
  json force = body.value("force", json(false));
  if (!dryRun.is_boolean() || !force.is_boolean()) return errorAnswer(400, "dryRun and force are true or false.");
  SyncRequest request{dryRun.get<bool>(), force.get<bool>(), call.account.name, call.request.clientAddress};
  switch (requestDirectorySync(request)) {
    case SyncQueued::queued: return jsonAnswer(202, {{"queued", true}});
    case SyncQueued::alreadyQueued: return errorAnswer(409, "A directory sync is already waiting to run.");
    case SyncQueued::busy: return storeFailure(Outcome::busy);
    case SyncQueued::failed: return storeFailure(Outcome::failed);
    default: return errorAnswer(409, "No directory is set: start the service with --ldap-url and --ldap-base.");
  }
}
