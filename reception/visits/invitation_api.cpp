#include "visits/invitation_api.h"

#include <ctime>

#include "rules/invitation_entry.h"
#include "rules/validation.h"
#include "store/clock.h"
#include "store/invitations.h"
#include "text/text.h"
#include "alerts/invitation_mail.h"
#include "visits/visit_api.h"

using nlohmann::json;

namespace {

constexpr char codeRefused[] = "This code cannot be used. Please ask at reception.";

HttpResponse invite(const InvitationEntry& entry, const VisitSettings& settings, InvitationRow& added) {
  switch (Outcome result = addInvitation(entry, added, invitationMailMaker(settings))) {
    case Outcome::ok:
      return jsonAnswer(201, invitationJson(added));
    case Outcome::notFound: return errorAnswer(404, "That member of staff is no longer in the directory.");
    default: return storeFailure(result);
  }
}

// A code as typed or scanned: any case, spaces and hyphens left out.
std::string normalisedCode(const json& code) {
  if (!code.is_string()) return "";
  std::string typed;
  for (char c : code.get<std::string>()) {
    if (c == ' ' || c == '-') continue;
    typed += c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  }
  return typed.size() == invitationCodeLength ? typed : "";
}

HttpResponse checkedIn(Outcome result, const NotificationRow& announced, std::int64_t visitId, const char* refusal) {
  switch (result) {
    case Outcome::ok:
      return jsonAnswer(201, {{"visitId", visitId}, {"guestName", announced.headline}, {"hostName", announced.hostName}});
    case Outcome::notFound: return errorAnswer(404, refusal);
    case Outcome::conflict: return errorAnswer(429, "The host cannot be told just now. Please ask at reception.");
    default: return storeFailure(result);
  }
}

}  // namespace

std::function<std::string()> checkInDetail(const NotificationRow& announced, const std::int64_t& visitId) {
  return [&announced, &visitId] {
    return "visit #" + std::to_string(visitId) + " " + announced.headline + " for " + announced.hostName;
  };
}

HttpResponse deskInvite(const DeskCall& call) {
  json object;
  std::string error = parseObject(call.request.body, object);
  if (!error.empty()) return errorAnswer(400, error);
  auto host = object.find("hostId");
  if (host == object.end() || !host->is_number_integer() || host->get<std::int64_t>() <= 0) {
    return errorAnswer(400, "Choose the member of staff the guest is coming to see.");
  }
  InvitationEntry entry;
  error = parseInvitation(object, call.settings.codePage, entry);
  if (!error.empty()) return errorAnswer(400, error);
  entry.staffId = host->get<std::int64_t>();
  entry.createdBy = call.account.name;
  InvitationRow added;
  AuditedChange audited = auditedChange(call, "invite", [&added] {
    return "invitation #" + std::to_string(added.id) + " " + added.entry.guestName + " for " + added.hostName;
  });
  return invite(entry, call.settings.visits, added);
}

HttpResponse deskInvitations(const DeskCall& call) {
  std::string day = queryValue(call.query, "day").value_or("");
  if (day.empty()) day = localDate(currentTimeMs());
  if (!isDate(day)) return errorAnswer(400, "The day must be a date YYYY-MM-DD.");
  std::vector<InvitationRow> rows;
  Outcome read = invitationsOfDay(day, rows);
  if (read != Outcome::ok) return storeFailure(read, Failure::readFailed);
  json list = json::array();
  for (const InvitationRow& row : rows) list.push_back(invitationJson(row));
  return jsonAnswer(200, {{"day", day}, {"invitations", list}});
}

HttpResponse deskCheckInInvitation(const DeskCall& call) {
  VisitStart start;
  start.checkedInBy = call.account.name;
  NotificationRow announced;
  std::int64_t visitId = 0;
  AuditedChange audited = auditedChange(call, "check-in", checkInDetail(announced, visitId));
  Outcome result = checkInInvitation(InvitationKey{"", call.id}, localDate(currentTimeMs()), start,
                                     call.settings.maxWaitingPerHost, announced, visitId);
  return checkedIn(result, announced, visitId, "That invitation is not open for today.");
}

HttpResponse checkInByCode(const DeskCall& call, const json& code) {
  std::string typed = normalisedCode(code);
  if (typed.empty()) return errorAnswer(404, codeRefused);
  VisitStart start;
  start.checkedInBy = call.account.name;
  const HouseRules& rules = call.settings.visits.houseRules;
  if (!rules.text.empty()) {
    start.houseRulesVersion = rules.version;
    start.houseRulesSha256 = rules.sha256;
  }
  NotificationRow announced;
  std::int64_t visitId = 0;
  AuditedChange audited = auditedChange(call, "check-in", checkInDetail(announced, visitId));
  Outcome result = checkInInvitation(InvitationKey{typed, 0}, localDate(currentTimeMs()), start,
                                     call.settings.maxWaitingPerHost, announced, visitId);
  return checkedIn(result, announced, visitId, codeRefused);
}

std::optional<HttpResponse> codeRefusal(const json& code) {
  std::string typed = normalisedCode(code);
  Outcome found = typed.empty() ? Outcome::notFound : findOpenInvitationCode(typed, localDate(currentTimeMs()));
  if (found == Outcome::ok) return std::nullopt;
  if (found == Outcome::notFound) return errorAnswer(404, codeRefused);
  return storeFailure(found, Failure::readFailed);
}

std::optional<std::int64_t> visitOfCode(const json& code, std::int64_t since) {
  std::string typed = normalisedCode(code);
  std::int64_t visitId = 0;
  if (typed.empty() || visitOfInvitationCode(typed, since, visitId) != Outcome::ok) return std::nullopt;
  return visitId;
}

