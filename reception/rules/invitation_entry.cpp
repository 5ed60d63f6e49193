#include "rules/invitation_entry.h"

#include <ctime>

#include "rules/validation.h"
#include "rules/visit_options.h"
#include "rules/visit_settings.h"
#include "store/clock.h"
#include "text/text.h"

using nlohmann::json;

namespace {

std::string textMember(const json& object, const char* key) {
  auto member = object.find(key);
  return member != object.end() && member->is_string() ? collapsedSpaces(member->get<std::string>()) : "";
}

bool badMember(const json& object, const char* key) {
  auto member = object.find(key);
  return member != object.end() && !member->is_string() && !member->is_null();
}

}  // namespace

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

nlohmann::json invitationJson(const InvitationRow& row) {
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

