// The host's own invitations (POST, GET, DELETE /api/me/invitations): as
// the desk's, for the signed-in member only.
#include "alerts/invitation_mail.h"
#include "answer/desk_call.h"
#include "host/host_api.h"
#include "rules/invitation_entry.h"
#include "rules/validation.h"
#include "store/clock.h"
#include "store/invitations.h"

using nlohmann::json;

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
  switch (Outcome result = addInvitation(entry, added, invitationMailMaker(call.settings.visits))) {
    case Outcome::ok:
      return jsonAnswer(201, invitationJson(added));
    case Outcome::notFound: return errorAnswer(404, "You are no longer in the staff directory.");
    default: return storeFailure(result);
  }
}

HttpResponse hostInvitations(const HostCall& call) {
  std::vector<InvitationRow> rows;
  Outcome read = invitationsOfHost(call.member.id, localDate(currentTimeMs()), rows);
  if (read != Outcome::ok) return storeFailure(read, Failure::readFailed);
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
