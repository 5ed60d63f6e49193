#include "directory/directory_desk_api.h"

#include "directory/directory_worker.h"
#include "store/audit.h"

using nlohmann::json;

namespace {

// Lists in an answer stop here; the counts are always whole.
constexpr std::size_t maxListed = 200;

const char* outcomeName(DirectorySyncOutcome outcome) {
  switch (outcome) {
    case DirectorySyncOutcome::applied: return "applied";
    case DirectorySyncOutcome::previewed: return "previewed";
    case DirectorySyncOutcome::unreachable: return "unreachable";
    case DirectorySyncOutcome::safetyStop: return "safetyStop";
    default: return "failed";
  }
}

template <typename Item, typename ToJson>
json listed(const std::vector<Item>& items, ToJson toJson) {
  json list = json::array();
  for (std::size_t at = 0; at < items.size() && at < maxListed; ++at) list.push_back(toJson(items[at]));
  return list;
}

json changesJson(const DirectoryPlan& plan) {
  return {{"added", listed(plan.added, [](const DirectoryEntry& entry) { return entry.firstName + " " + entry.lastName; })},
          {"updated", listed(plan.updated,
                             [](const StaffUpdate& change) {
                               return json{{"before", change.before},
                                           {"after", change.entry.firstName + " " + change.entry.lastName},
                                           {"reactivated", change.reactivated}};
                             })},
          {"deactivated", listed(plan.deactivated, [](const DeactivatedStaff& staff) { return staff.displayName; })},
          {"rejected", listed(plan.rejected, [](const RejectedEntry& entry) {
             return json{{"dn", entry.dn}, {"reason", entry.reason}};
           })}};
}

json resultJson(const std::optional<DirectorySyncResult>& result) {
  if (!result) return nullptr;
  const DirectoryPlan& plan = result->plan;
  json answer = {{"at", result->at},
                 {"outcome", outcomeName(result->outcome)},
                 {"summary", resultLine(*result)},
                 {"reason", result->reason},
                 {"counts",
                  {{"added", plan.added.size()},
                   {"updated", plan.updated.size()},
                   {"deactivated", plan.deactivated.size()},
                   {"unchanged", plan.unchanged},
                   {"rejected", plan.rejected.size()}}}};
  answer["changes"] = changesJson(plan);
  return answer;
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

HttpResponse directorySyncState(const DeskCall&) {
  DirectoryWorkerState state = directoryWorkerState();
  return jsonAnswer(200, {{"configured", state.configured},
                          {"syncMinutes", state.syncMinutes},
                          {"running", state.running},
                          {"queued", state.queued},
                          {"lastSync", resultJson(state.lastSync)},
                          {"lastRecordedSync", recordedSyncJson()},
                          {"lastPreview", resultJson(state.lastPreview)}});
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
    default: return errorAnswer(409, "No directory is set: start the service with --ldap-url and --ldap-base.");
  }
}
