#include "desk/contacts.h"

#include "rules/validation.h"

using nlohmann::json;

void addContactJson(json& staff, const StaffContact& contact, bool masked) {
  auto shown = [masked](const std::string& target) { return masked && !target.empty() ? maskedTarget(target) : target; };
  staff["email"] = shown(contact.email);
  staff["alertUrl"] = shown(contact.alertUrl);
}

HttpResponse updateStaffContact(const DeskCall& call) {
  std::map<std::int64_t, StaffContact> contacts;
  Outcome read = staffContacts(contacts);
  if (read != Outcome::ok) return storeFailure(read, Failure::readFailed);
  auto current = contacts.find(call.id);
  StaffContact contact = current == contacts.end() ? StaffContact{} : current->second;
  std::string error = parseStaffContact(call.request.body, contact, call.settings.alertTargets);
  if (!error.empty()) return errorAnswer(400, error);
  // The addresses themselves stay out of the log: masked as everywhere else.
  AuditedChange audited = auditedChange(call, "staff-contact", [&call, &contact] {
    return "#" + std::to_string(call.id) + " email " + (contact.email.empty() ? "none" : maskedTarget(contact.email)) +
           ", push " + (contact.alertUrl.empty() ? "none" : maskedTarget(contact.alertUrl));
  });
  switch (Outcome result = setStaffContact(call.id, contact)) {
    case Outcome::ok: {
      json answer = {{"id", call.id}};
      addContactJson(answer, contact);
      return jsonAnswer(200, answer);
    }
    case Outcome::notFound: return errorAnswer(404, "That member of staff is not in the directory.");
    default: return storeFailure(result);
  }
}

Outcome addAlertDeskState(json& state, bool alertMail, bool maskContacts) {
  std::map<std::int64_t, StaffContact> contacts;
  std::map<std::int64_t, std::vector<AlertState>> alerts;
  std::vector<std::int64_t> shown;
  for (const json& guest : state["notifications"]) shown.push_back(guest["id"].get<std::int64_t>());
  for (Outcome read : {staffContacts(contacts), alertStatesOf(shown, alerts)}) {
    if (read != Outcome::ok) return read;
  }
  for (json& staff : state["staff"]) {
    auto found = contacts.find(staff["id"].get<std::int64_t>());
    addContactJson(staff, found == contacts.end() ? StaffContact{} : found->second, maskContacts);
  }
  for (json& guest : state["notifications"]) {
    json list = json::array();
    auto found = alerts.find(guest["id"].get<std::int64_t>());
    if (found != alerts.end()) {
      for (const AlertState& alert : found->second) {
        list.push_back({{"channel", alert.channel},
                        {"state", alert.state},
                        {"attempts", alert.attempts},
                        {"status", alert.lastStatus ? json(*alert.lastStatus) : json(nullptr)},
                        {"error", alert.lastError},
                        {"at", alert.updatedAt},
                        {"nextAttemptAt", alert.state == "pending" ? json(alert.nextAttemptAt) : json(nullptr)}});
      }
    }
    guest["alerts"] = list;
  }
  state["alertMail"] = alertMail;
  return Outcome::ok;
}
