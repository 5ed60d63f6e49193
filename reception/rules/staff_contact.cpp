#include "rules/staff_contact.h"

#include <nlohmann/json.hpp>

#include "rules/validation.h"

using nlohmann::json;

namespace {

// A member that is a string (kept), null (cleared) or absent (left as it
// was); false for any other type.
bool optionalText(const json& object, const char* name, std::string& value) {
  auto member = object.find(name);
  if (member == object.end()) return true;
  if (member->is_null()) {
    value.clear();
    return true;
  }
  if (!member->is_string()) return false;
  value = member->get<std::string>();
  return true;
}

}  // namespace

std::string parseStaffContact(std::string_view body, StaffContact& contact, const AlertTargetRule& rule) {
  json object = json::parse(body.begin(), body.end(), nullptr, false);
  if (object.is_discarded() || !object.is_object()) return "The request body must be a JSON object.";
  if (!optionalText(object, "email", contact.email) || !optionalText(object, "alertUrl", contact.alertUrl)) {
    return "The email address and push address must be JSON strings.";
  }
  return checkContact(contact, rule);
}

