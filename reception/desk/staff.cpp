// The staff directory: the staff form, and CSV import and export.
#include <algorithm>

#include "desk/contacts.h"
#include "desk/desk.h"
#include "desk/staff_import.h"
#include "rules/validation.h"
#include "store/clock.h"
#include "store/outbox.h"
#include "store/staff.h"

using nlohmann::json;

namespace {

// Each line with its contact columns as read and what the import does with
// them: "set" for a member it adds, "none" when the line has none, "kept"
// for a member already in the directory (an import never changes a
// contact: that is done per member, on the staff list).
json namesJson(const std::vector<ImportedName>& names, bool existing) {
  json list = json::array();
  for (const ImportedName& name : names) {
    bool hasContact = !name.contact.email.empty() || !name.contact.alertUrl.empty();
    list.push_back({{"line", name.line},
                    {"firstName", name.firstName},
                    {"lastName", name.lastName},
                    {"email", name.contact.email},
                    {"alertUrl", name.contact.alertUrl},
                    {"contact", !hasContact ? "none" : existing ? "kept" : "set"}});
  }
  return list;
}

// Rejected lines listed in an import's answer: enough to find what is wrong
// with a file, without a file of junk making an answer of tens of MB.
constexpr std::size_t maxListedRejections = 1000;

json previewJson(const ImportPreview& preview, bool applied) {
  json rejected = json::array();
  std::size_t listed = std::min(preview.rejected.size(), maxListedRejections);
  for (std::size_t i = 0; i < listed; ++i) {
    const RejectedRow& row = preview.rejected[i];
    rejected.push_back({{"line", row.line}, {"text", row.text}, {"reason", row.reason}});
  }
  return {{"applied", applied},   {"added", namesJson(preview.added, false)},
          {"unchanged", namesJson(preview.unchanged, true)},
          {"rejected", rejected}, {"moreRejected", preview.rejected.size() - listed}};
}

// The preview is made inside the write, so that what it adds is what gets added.
Outcome applyImport(std::string_view csv, const DeskSettings& settings, ImportPreview& preview) {
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  NameSet names;
  Outcome read = activeNames(transaction, names);
  if (read != Outcome::ok) return read;
  preview = previewStaffImport(csv, names, settings.codePage, settings.alertTargets);
  if (!preview.error.empty()) return Outcome::ok;
  std::int64_t now = currentTimeMs();
  for (const ImportedName& name : preview.added) {
    Outcome added = insertStaff(transaction, name.firstName, name.lastName, now);
    if (added == Outcome::ok && (!name.contact.email.empty() || !name.contact.alertUrl.empty())) {
      added = setStaffContact(transaction, transaction.lastInsertId(), name.contact);
    }
    if (added != Outcome::ok) return added == Outcome::conflict || added == Outcome::notFound ? Outcome::failed : added;
  }
  return transaction.commit();
}

Outcome previewImport(std::string_view csv, const DeskSettings& settings, ImportPreview& preview) {
  NameSet names;
  Outcome read = activeNames(names);
  if (read == Outcome::ok) preview = previewStaffImport(csv, names, settings.codePage, settings.alertTargets);
  return read;
}

}  // namespace

HttpResponse addStaffMember(const DeskCall& call) {
  StaffEntry entry;
  std::string error = parseStaffEntry(call.request.body, entry, call.settings.codePage);
  StaffContact contact;
  if (error.empty()) error = parseStaffContact(call.request.body, contact, call.settings.alertTargets);
  if (!error.empty()) return errorAnswer(400, error);
  StaffRow added;
  std::string clash;
  std::string name = entry.firstName + " " + entry.lastName;
  AuditedChange audited =
      auditedChange(call, "staff-add", [&added] { return "#" + std::to_string(added.id) + " " + added.displayName; });
  switch (Outcome result = addStaff(entry.firstName, entry.lastName, contact, added, &clash)) {
    case Outcome::ok: {
      json answer = staffJson(added, currentTimeMs());
      addContactJson(answer, contact);
      return jsonAnswer(201, answer);
    }
    case Outcome::conflict:
      if (!clash.empty()) return errorAnswer(409, twoWordClash(name, clash));
      return errorAnswer(409, name + " is already in the staff directory.");
    default: return storeFailure(result);
  }
}

HttpResponse removeStaffMember(const DeskCall& call) {
  std::int64_t id = call.id;
  AuditedChange audited = auditedChange(call, "staff-remove", [id] { return "#" + std::to_string(id); });
  switch (Outcome result = removeStaff(id)) {
    case Outcome::ok:
      return jsonAnswer(200, {{"removed", id}});
    case Outcome::notFound: return errorAnswer(404, "That member of staff is not in the directory.");
    case Outcome::conflict:
      return errorAnswer(409, "Guests are still waiting for this member of staff. Acknowledge or withdraw them first.");
    default: return storeFailure(result);
  }
}

HttpResponse importStaffCsv(const DeskCall& call) {
  json object;
  if (!parseObject(call.request.body, object).empty()) return errorAnswer(400, "The request body must be a JSON object.");
  auto csv = object.find("csv");
  auto apply = object.find("apply");
  if (csv == object.end() || !csv->is_string()) return errorAnswer(400, "Choose a CSV file to import.");
  bool applying = apply != object.end() && apply->is_boolean() && apply->get<bool>();
  ImportPreview preview;
  const std::string& text = csv->get_ref<const std::string&>();
  Outcome result = Outcome::ok;
  if (applying) {
    AuditedChange audited = auditedChange(
        call, "staff-import", [&preview] { return std::to_string(preview.added.size()) + " added from a CSV file"; });
    result = applyImport(text, call.settings, preview);
  } else {
    result = previewImport(text, call.settings, preview);
  }
  if (result != Outcome::ok) return storeFailure(result);
  if (!preview.error.empty()) return errorAnswer(400, preview.error);
  return jsonAnswer(200, previewJson(preview, applying));
}

HttpResponse exportStaffCsv(const DeskCall&) {
  std::vector<StaffRow> staff;
  std::map<std::int64_t, StaffContact> contacts;
  for (Outcome read : {activeStaff(staff), staffContacts(contacts)}) {
    if (read != Outcome::ok) return storeFailure(read, Failure::readFailed);
  }
  return csvAnswer(staffCsv(staff, contacts), "staff.csv");
}
