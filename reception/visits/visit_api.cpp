#include "visits/visit_api.h"

#include "rules/validation.h"
#include "text/text.h"

using nlohmann::json;

json visitJson(const VisitRow& visit) {
  return {{"id", visit.id},           {"guestName", visit.guestName}, {"company", visit.company},
          {"hostId", visit.staffId},  {"hostName", visit.hostName},   {"checkedInAt", visit.checkedInAt}};
}

std::function<std::string()> signOutDetail(const VisitRow& visit) {
  return [&visit] { return "visit #" + std::to_string(visit.id) + " " + visit.guestName; };
}

HttpResponse onSiteList(const DeskCall&) {
  std::vector<VisitRow> visits;
  Outcome read = onSiteVisits(0, visits);
  if (read != Outcome::ok) return storeFailure(read, Failure::readFailed);
  json list = json::array();
  for (const VisitRow& visit : visits) list.push_back(visitJson(visit));
  return jsonAnswer(200, {{"visits", list}});
}

HttpResponse signOutAtDesk(const DeskCall& call) {
  VisitRow visit;
  AuditedChange audited = auditedChange(call, "sign-out", signOutDetail(visit));
  switch (Outcome result = signOutVisit(call.id, "desk", visit)) {
    case Outcome::ok:
      return jsonAnswer(200, visitJson(visit));
    case Outcome::notFound: return errorAnswer(404, "That guest is not on site.");
    default: return storeFailure(result);
  }
}
