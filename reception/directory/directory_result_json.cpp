#include "directory/directory_result_json.h"

#include <nlohmann/json.hpp>

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

}  // namespace

std::string directoryResultJson(const DirectorySyncResult& result) {
  const DirectoryPlan& plan = result.plan;
  json answer = {{"at", result.at},
                 {"outcome", outcomeName(result.outcome)},
                 {"summary", resultLine(result)},
                 {"reason", result.reason},
                 {"counts",
                  {{"added", plan.added.size()},
                   {"updated", plan.updated.size()},
                   {"deactivated", plan.deactivated.size()},
                   {"unchanged", plan.unchanged},
                   {"rejected", plan.rejected.size()}}}};
  answer["changes"] = changesJson(plan);
  // Names from the directory may carry bytes that are not UTF-8: replaced, not thrown on.
  return answer.dump(-1, ' ', false, json::error_handler_t::replace);
}
