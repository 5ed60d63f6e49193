#include "visits/erase_api.h"

#include "rules/validation.h"
#include "store/erase.h"
#include "text/text.h"

using nlohmann::json;

HttpResponse eraseVisitorAnswer(const DeskCall& call) {
  json object;
  std::string error = parseObject(call.request.body, object);
  if (!error.empty()) return errorAnswer(400, error);
  VisitorToErase visitor;
  auto name = object.find("guestName");
  auto email = object.find("guestEmail");
  if (name != object.end() && name->is_string()) visitor.guestName = collapsedSpaces(name->get<std::string>());
  if (email != object.end() && email->is_string()) visitor.guestEmail = std::string(trimmed(email->get<std::string>()));
  if (visitor.guestName.empty() == visitor.guestEmail.empty()) {
    return errorAnswer(400, "Give the visitor's name (guestName) or email address (guestEmail), not both.");
  }
  std::int64_t erased = 0;
  // Said without the name: the audit log must not keep what was erased.
  AuditedChange audited = auditedChange(call, "erase-visitor", [&erased] {
    return "erased " + counted(erased, "visit", "visits");
  });
  Outcome done = eraseVisitor(visitor, erased);
  if (done != Outcome::ok) return storeFailure(done);
  // The old pages leave the WAL at once when no reader holds it; otherwise at the next checkpoint.
  checkpointWal();
  return jsonAnswer(200, {{"erased", erased}});
}
