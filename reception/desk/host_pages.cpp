// The desk's side of the hosts' own pages: which members are signed in to
// theirs, signing a member out everywhere, and a member's personal notifier
// key for IT to install with.
//   POST staff/<id>/sign-out      admin: ends every page session of the member
//   GET  staff/<id>/notifier-key  admin: {"key", "install"}
//   POST staff/<id>/notifier-key/new  admin: a new key at once, answered as the GET; the old one is refused
#include "desk/host_pages.h"

#include "desk/desk.h"
#include "store/personal_keys.h"
#include "store/host_sessions.h"

using nlohmann::json;

namespace {

// {"key", "install"}, never cached: the key is a credential.
HttpResponse notifierKeyAnswer(const HttpRequest& request, const std::string& key) {
  HttpResponse answer = jsonAnswer(200, {{"key", key}, {"install", notifierInstallLine(notifierServiceHost(request), key)}});
  answer.headers.emplace_back("Cache-Control", "no-store");
  return answer;
}

}  // namespace

Outcome addHostPageState(json& state) {
  std::set<std::int64_t> signedIn;
  Outcome read = membersWithHostSessions(signedIn);
  if (read != Outcome::ok) return read;
  for (json& staff : state["staff"]) staff["page"] = signedIn.count(staff["id"].get<std::int64_t>()) != 0;
  return Outcome::ok;
}

HttpResponse signOutEverywhere(const DeskCall& call) {
  int ended = 0;
  std::int64_t member = call.id;
  AuditedChange audited =
      auditedChange(call, "host-sign-out-everywhere", [member] { return "#" + std::to_string(member); });
  Outcome result = endHostSessions(call.id, ended);
  if (result != Outcome::ok) return storeFailure(result);
  return jsonAnswer(200, {{"id", call.id}, {"sessionsEnded", ended}});
}

HttpResponse memberNotifierKey(const DeskCall& call) {
  std::string key;
  Outcome made = personalKeyOf(call.id, key);
  if (made != Outcome::ok) return storeFailure(made, Failure::readFailed);
  return notifierKeyAnswer(call.request, key);
}

HttpResponse newMemberNotifierKey(const DeskCall& call) {
  std::string key;
  std::int64_t member = call.id;
  AuditedChange audited = auditedChange(call, "notifier-key-new", [member] { return "#" + std::to_string(member); });
  Outcome made = replacePersonalKey(call.id, key);
  if (made == Outcome::notFound) return errorAnswer(404, "No active member of staff has that id.");
  if (made != Outcome::ok) return storeFailure(made);
  return notifierKeyAnswer(call.request, key);
}
