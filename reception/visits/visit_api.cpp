#include "visits/visit_api.h"

#include "desk/validation.h"
#include "text/text.h"

using nlohmann::json;

std::string parseCompany(std::string_view body, const std::string& codePage, std::string& company) {
  json object;
  std::string error = parseObject(body, object);
  if (!error.empty()) return error;
  company.clear();
  auto member = object.find("company");
  if (member == object.end() || member->is_null()) return "";
  if (!member->is_string()) return "The company must be text.";
  company = collapsedSpaces(trimmed(member->get<std::string>()));
  return checkLine("The company", company, maxCompanyChars, false, codePage);
}

json visitJson(const VisitRow& visit) {
  return {{"id", visit.id},           {"guestName", visit.guestName}, {"company", visit.company},
          {"hostId", visit.staffId},  {"hostName", visit.hostName},   {"checkedInAt", visit.checkedInAt}};
}

HttpResponse onSiteList(const DeskCall&) {
  std::vector<VisitRow> visits;
  Outcome read = onSiteVisits(0, visits);
  if (read != Outcome::ok) return storeFailure(read, readFailed);
  json list = json::array();
  for (const VisitRow& visit : visits) list.push_back(visitJson(visit));
  return jsonAnswer(200, {{"visits", list}});
}

HttpResponse signOutAtDesk(const DeskCall& call) {
  VisitRow visit;
  switch (Outcome result = signOutVisit(call.id, "desk", visit)) {
    case Outcome::ok:
      audit(call, "sign-out", "visit #" + std::to_string(visit.id) + " " + visit.guestName);
      return jsonAnswer(200, visitJson(visit));
    case Outcome::notFound: return errorAnswer(404, "That guest is not on site.");
    default: return storeFailure(result);
  }
}
