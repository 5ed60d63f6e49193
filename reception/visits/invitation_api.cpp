#include "visits/invitation_api.h"

#include <ctime>

#include "desk/validation.h"
#include "store/clock.h"
#include "store/invitations.h"
#include "text/text.h"
#include "visits/invitation_mail.h"
#include "visits/visit_api.h"

using nlohmann::json;

namespace {

constexpr char codeRefused[] = "This code cannot be used. Please ask at reception.";

std::string textMember(const json& object, const char* key) {
  auto member = object.find(key);
  return member != object.end() && member->is_string() ? collapsedSpaces(member->get<std::string>()) : "";
}

bool badMember(const json& object, const char* key) {
  auto member = object.find(key);
  return member != object.end() && !member->is_string() && !member->is_null();
}

// The invitation in the body; "" or the message for whoever typed it.
std::string parseInvitation(const json& object, const std::string& codePage, InvitationEntry& entry) {
  for (const char* key : {"guestName", "company", "guestEmail", "expectedOn", "expectedAt", "note"}) {
    if (badMember(object, key)) return std::string("The field ") + key + " must be text.";
  }
  entry.guestName = textMember(object, "guestName");
  entry.company = textMember(object, "company");
  entry.guestEmail = textMember(object, "guestEmail");
  entry.expectedOn = textMember(object, "expectedOn");
  entry.expectedAt = textMember(object, "expectedAt");
  entry.note = textMember(object, "note");
  std::string error = checkLine("The guest's name", entry.guestName, maxHeadlineChars, true, codePage);
  if (error.empty()) error = checkLine("The company", entry.company, maxCompanyChars, false, codePage);
  if (error.empty()) error = checkLine("The note", entry.note, maxDetailChars, false, codePage);
  if (error.empty()) error = checkEmail(entry.guestEmail);
  if (!error.empty()) return error;
  if (!isDate(entry.expectedOn)) return "The day the guest is expected must be a date YYYY-MM-DD.";
  if (entry.expectedOn < localDate(currentTimeMs())) return "The day the guest is expected has passed.";
  if (!entry.expectedAt.empty() && parseClockTime(entry.expectedAt) < 0) return "The expected time must be HH:MM.";
  return "";
}

json invitationJson(const InvitationRow& row) {
  const InvitationEntry& entry = row.entry;
  const char* state = row.visitId ? "checked-in" : row.cancelledAt ? "cancelled" : "open";
  return {{"id", row.id},
          {"code", row.code},
          {"hostId", entry.staffId},
          {"hostName", row.hostName},
          {"guestName", entry.guestName},
          {"company", entry.company},
          {"guestEmail", entry.guestEmail},
          {"expectedOn", entry.expectedOn},
          {"expectedAt", entry.expectedAt},
          {"note", entry.note},
          {"state", state},
          {"visitId", row.visitId ? json(*row.visitId) : json(nullptr)}};
}

HttpResponse invite(InvitationEntry entry, const VisitSettings& settings, InvitationRow& added) {
  switch (Outcome result = addInvitation(entry, added)) {
    case Outcome::ok:
      queueInvitationMail(added, settings);
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

std::string localDate(std::int64_t ms) {
  std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm local{};
  char text[16] = {};
  if (localtime_r(&seconds, &local) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%d", &local) == 0) return "";
  return text;
}

bool isDate(const std::string& text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
  for (std::size_t at : {0, 1, 2, 3, 5, 6, 8, 9}) {
    if (text[at] < '0' || text[at] > '9') return false;
  }
  std::tm day{};
  day.tm_year = std::stoi(text.substr(0, 4)) - 1900;
  day.tm_mon = std::stoi(text.substr(5, 2)) - 1;
  day.tm_mday = std::stoi(text.substr(8, 2));
  day.tm_hour = 12;
  std::tm normalised = day;
  if (timegm(&normalised) == -1) return false;
  // A day past the month's end (02-30) comes back as another day.
  return normalised.tm_mday == day.tm_mday && normalised.tm_mon == day.tm_mon && day.tm_year >= 100;
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
  HttpResponse answer = invite(entry, call.settings.visits, added);
  if (answer.status == 201) {
    audit(call, "invite", "invitation #" + std::to_string(added.id) + " " + entry.guestName + " for " + added.hostName);
  }
  return answer;
}

HttpResponse deskInvitations(const DeskCall& call) {
  std::string day = queryValue(call.query, "day").value_or("");
  if (day.empty()) day = localDate(currentTimeMs());
  if (!isDate(day)) return errorAnswer(400, "The day must be a date YYYY-MM-DD.");
  std::vector<InvitationRow> rows;
  Outcome read = invitationsOfDay(day, rows);
  if (read != Outcome::ok) return storeFailure(read, readFailed);
  json list = json::array();
  for (const InvitationRow& row : rows) list.push_back(invitationJson(row));
  return jsonAnswer(200, {{"day", day}, {"invitations", list}});
}

HttpResponse deskCheckInInvitation(const DeskCall& call) {
  VisitStart start;
  start.checkedInBy = call.account.name;
  NotificationRow announced;
  std::int64_t visitId = 0;
  Outcome result = checkInInvitation(InvitationKey{"", call.id}, localDate(currentTimeMs()), start,
                                     call.settings.maxWaitingPerHost, announced, visitId);
  if (result == Outcome::ok) {
    audit(call, "check-in", "visit #" + std::to_string(visitId) + " " + announced.headline + " for " + announced.hostName);
  }
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
  Outcome result = checkInInvitation(InvitationKey{typed, 0}, localDate(currentTimeMs()), start,
                                     call.settings.maxWaitingPerHost, announced, visitId);
  if (result == Outcome::ok) {
    audit(call, "check-in", "visit #" + std::to_string(visitId) + " " + announced.headline + " for " + announced.hostName);
  }
  return checkedIn(result, announced, visitId, codeRefused);
}

std::optional<std::int64_t> visitOfCode(const json& code, std::int64_t since) {
  std::string typed = normalisedCode(code);
  std::int64_t visitId = 0;
  if (typed.empty() || visitOfInvitationCode(typed, since, visitId) != Outcome::ok) return std::nullopt;
  return visitId;
}

HttpResponse hostInvite(const HostCall& call) {
  json object;
  std::string error = parseObject(call.request.body, object);
  if (!error.empty()) return errorAnswer(400, error);
  InvitationEntry entry;
  error = parseInvitation(object, defaultCodePage, entry);
  if (!error.empty()) return errorAnswer(400, error);
  entry.staffId = call.member.id;
  entry.createdBy = "host";
  InvitationRow added;
  return invite(entry, call.settings.visits, added);
}

HttpResponse hostInvitations(const HostCall& call) {
  std::vector<InvitationRow> rows;
  Outcome read = invitationsOfHost(call.member.id, localDate(currentTimeMs()), rows);
  if (read != Outcome::ok) return storeFailure(read, readFailed);
  json list = json::array();
  for (const InvitationRow& row : rows) list.push_back(invitationJson(row));
  return jsonAnswer(200, {{"invitations", list}});
}

HttpResponse hostCancelInvitation(const HostCall& call) {
  switch (Outcome result = cancelInvitation(call.id, call.member.id)) {
    case Outcome::ok: return jsonAnswer(200, {{"cancelled", call.id}});
    case Outcome::notFound: return errorAnswer(404, "That invitation is not open.");
    default: return storeFailure(result);
  }
}
