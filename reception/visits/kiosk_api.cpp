#include "visits/kiosk_api.h"

#include <ctime>

#include "rules/validation.h"
#include "store/clock.h"
#include "store/visits.h"
#include "text/text.h"
#include "text/utf8.h"
#include "visits/invitation_api.h"
#include "visits/visit_api.h"

using nlohmann::json;

namespace {

constexpr std::size_t minSearchChars = 2;
constexpr std::size_t maxHostsShown = 10;
constexpr std::size_t maxSearchBytes = 100;

// The search text, or nullopt when it has fewer than 2 characters (or is absurdly long).
std::optional<std::string> searchText(const QueryMap& query) {
  std::string text = collapsedSpaces(queryValue(query, "q").value_or(""));
  if (text.size() > maxSearchBytes) return std::nullopt;
  std::size_t characters = 0;
  for (std::size_t at = 0; at < text.size(); ++characters) {
    std::size_t length = utf8CharacterLength(text, at);
    if (length == 0) return std::nullopt;
    at += length;
  }
  if (characters < minSearchChars) return std::nullopt;
  return text;
}

// ASCII letters folded: a guest types "ada" for "Ada".
std::string folded(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// Whether the body accepts the current house rules (or none are set).
bool acceptsHouseRules(const json& object, const HouseRules& rules) {
  if (rules.text.empty()) return true;
  auto given = object.find("houseRulesVersion");
  return given != object.end() && given->is_string() && given->get<std::string>() == rules.version;
}

// 409 with the version to accept, so the kiosk shows those rules.
HttpResponse houseRulesFirst(const HouseRules& rules) {
  return jsonAnswer(409, {{"error", "Please read and accept the house rules."}, {"houseRulesVersion", rules.version}});
}

HttpResponse checkInWalkUp(const DeskCall& call, const json& object) {
  auto host = object.find("hostId");
  json entry = {{"staffId", host != object.end() ? *host : json(nullptr)},
                {"guestName", object.value("guestName", json(nullptr))},
                {"note", "Checked in at the kiosk"}};
  GuestEntry guest;
  VisitStart start;
  std::string error = parseGuestEntry(entry.dump(), guest, call.settings.codePage);
  if (error.empty()) error = parseCompany(call.request.body, call.settings.codePage, start.company);
  if (!error.empty()) return errorAnswer(400, error);
  start.staffId = guest.staffId;
  start.guestName = guest.headline;
  start.note = guest.detail;
  start.method = "kiosk";
  start.checkedInBy = call.account.name;
  const HouseRules& rules = call.settings.visits.houseRules;
  if (!rules.text.empty()) {
    start.houseRulesVersion = rules.version;
    start.houseRulesSha256 = rules.sha256;
  }
  NotificationRow announced;
  std::int64_t visitId = 0;
  AuditedChange audited = auditedChange(call, "check-in", checkInDetail(announced, visitId));
  switch (Outcome result = startVisit(start, call.settings.maxWaitingPerHost, announced, visitId)) {
    case Outcome::ok:
      return jsonAnswer(201, {{"visitId", visitId}, {"guestName", announced.headline}, {"hostName", announced.hostName}});
    case Outcome::notFound: return errorAnswer(404, "That person cannot be found. Please ask at reception.");
    case Outcome::conflict: return errorAnswer(429, "Your host cannot be told just now. Please ask at reception.");
    default: return storeFailure(result);
  }
}

}  // namespace

std::int64_t startOfLocalDay(std::int64_t ms) {
  std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm local{};
  localtime_r(&seconds, &local);
  local.tm_hour = 0;
  local.tm_min = 0;
  local.tm_sec = 0;
  local.tm_isdst = -1;
  return static_cast<std::int64_t>(std::mktime(&local)) * 1000;
}

HttpResponse kioskHouseRules(const DeskCall& call) {
  const HouseRules& rules = call.settings.visits.houseRules;
  return jsonAnswer(200, {{"version", rules.text.empty() ? json(nullptr) : json(rules.version)}, {"text", rules.text}});
}

HttpResponse kioskHosts(const DeskCall& call) {
  std::optional<std::string> text = searchText(call.query);
  if (!text) return errorAnswer(400, "Type at least 2 letters of the name.");
  std::vector<HostName> found;
  Outcome read = findActiveHosts(*text, maxHostsShown, found);
  if (read != Outcome::ok) return storeFailure(read, Failure::readFailed);
  json hosts = json::array();
  for (const HostName& host : found) hosts.push_back({{"id", host.id}, {"name", host.name}});
  return jsonAnswer(200, {{"hosts", hosts}});
}

HttpResponse kioskCheckIn(const DeskCall& call) {
  json object;
  std::string error = parseObject(call.request.body, object);
  if (!error.empty()) return errorAnswer(400, error);
  const HouseRules& rules = call.settings.visits.houseRules;
  bool accepted = acceptsHouseRules(object, rules);
  if (object.contains("code")) {
    // The code before the rules: a mistyped one is told at once, not after
    // the guest has read and accepted them.
    if (accepted) return checkInByCode(call, object["code"]);
    std::optional<HttpResponse> refused = codeRefusal(object["code"]);
    return refused ? *refused : houseRulesFirst(rules);
  }
  if (!accepted) return houseRulesFirst(rules);
  return checkInWalkUp(call, object);
}

HttpResponse kioskOnSite(const DeskCall& call) {
  std::optional<std::string> text = searchText(call.query);
  if (!text) return errorAnswer(400, "Type at least 2 letters of your name.");
  std::vector<VisitRow> visits;
  Outcome read = onSiteVisits(startOfLocalDay(currentTimeMs()), visits);
  if (read != Outcome::ok) return storeFailure(read, Failure::readFailed);
  json list = json::array();
  std::string wanted = folded(*text);
  for (const VisitRow& visit : visits) {
    if (folded(visit.guestName).find(wanted) != std::string::npos) list.push_back({{"id", visit.id}, {"guestName", visit.guestName}});
  }
  return jsonAnswer(200, {{"visits", list}});
}

HttpResponse kioskSignOut(const DeskCall& call) {
  json object;
  std::string error = parseObject(call.request.body, object);
  if (!error.empty()) return errorAnswer(400, error);
  std::int64_t visitId = 0;
  if (object.contains("code")) {
    std::optional<std::int64_t> found = visitOfCode(object["code"], startOfLocalDay(currentTimeMs()));
    if (!found) return errorAnswer(404, "That code is not on site today. Please ask at reception.");
    visitId = *found;
  } else if (object.contains("visitId") && object["visitId"].is_number_integer()) {
    visitId = object["visitId"].get<std::int64_t>();
  } else {
    return errorAnswer(400, "Give your code or choose your name.");
  }
  // Only today's visits: a kiosk cannot end the visits of other days.
  std::vector<VisitRow> today;
  Outcome read = onSiteVisits(startOfLocalDay(currentTimeMs()), today);
  if (read != Outcome::ok) return storeFailure(read, Failure::readFailed);
  bool onSite = false;
  for (const VisitRow& visit : today) onSite = onSite || visit.id == visitId;
  VisitRow visit;
  AuditedChange audited = auditedChange(call, "sign-out", signOutDetail(visit));
  Outcome result = onSite ? signOutVisit(visitId, "kiosk", visit) : Outcome::notFound;
  if (result == Outcome::notFound) return errorAnswer(404, "That visit is not on site today. Please ask at reception.");
  if (result != Outcome::ok) return storeFailure(result);
  return jsonAnswer(200, {{"signedOut", visit.id}, {"guestName", visit.guestName}});
}
