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

namespace {

constexpr std::int64_t mailCapWindowMs = 24LL * 60 * 60 * 1000;

// The refusal when the host has mailed as many guests as a day allows, or nullopt.
std::optional<HttpResponse> mailCapRefusal(const HostCall& call) {
  std::int64_t sent = 0;
  Outcome counted = hostInvitationMailsSince(call.member.id, currentTimeMs() - mailCapWindowMs, sent);
  if (counted != Outcome::ok) return storeFailure(counted, Failure::readFailed);
  if (sent < call.settings.invitationMailsPerDay) return std::nullopt;
  return errorAnswer(429, "You have sent the most invitation mails allowed in a day (" +
                              std::to_string(call.settings.invitationMailsPerDay) +
                              "). Invite without the guest's email address, or ask the front desk.");
}

}  // namespace

HttpResponse hostInvite(const HostCall& call) {
  json object;
  std::string error = parseObject(call.request.body, object);
  if (!error.empty()) return errorAnswer(400, error);
  InvitationEntry entry;
  error = parseInvitation(object, defaultCodePage, entry);
  if (!error.empty()) return errorAnswer(400, error);
  entry.staffId = call.member.id;
  entry.createdBy = "host";
  if (!entry.guestEmail.empty()) {
    if (std::optional<HttpResponse> refused = mailCapRefusal(call)) return *refused;
  }
  InvitationRow added;
  AuditedChange audited = auditedChange(call, "host-invite", [&added] {
    return "invitation #" + std::to_string(added.id) + " " + added.entry.guestName +
           (added.entry.guestEmail.empty() ? "" : ", mailed");
  });
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
  AuditedChange audited = auditedChange(call, "host-invite-cancel", [&call] { return "invitation #" + std::to_string(call.id); });
  switch (Outcome result = cancelInvitation(call.id, call.member.id)) {
    case Outcome::ok: return jsonAnswer(200, {{"cancelled", call.id}});
    case Outcome::notFound: return errorAnswer(404, "That invitation is not open.");
    default: return storeFailure(result);
  }
}
