// Invitations, from the desk and from a host's own page:
//   POST /api/desk/invitations              desk, admin: {"hostId", "guestName", "company", "guestEmail",
//                                           "expectedOn" (YYYY-MM-DD), "expectedAt" (HH:MM), "note"}:
//                                           201 {"id", "code", ...}; mails the guest when an address is given
//   GET  /api/desk/invitations?day=         desk, admin: that day's (default today) {"invitations": [...]}
//   POST /api/desk/invitations/<id>/check-in  desk, admin: the expected guest is here
//   POST /api/me/invitations                the host's own, without hostId
//   GET  /api/me/invitations                the host's from today on
//   DELETE /api/me/invitations/<id>         cancels one of the host's open invitations
#pragma once

#include <optional>

#include "desk/answers.h"
#include "host/host_api.h"

HttpResponse deskInvite(const DeskCall& call);
HttpResponse deskInvitations(const DeskCall& call);
HttpResponse deskCheckInInvitation(const DeskCall& call);
HttpResponse hostInvite(const HostCall& call);
HttpResponse hostInvitations(const HostCall& call);
HttpResponse hostCancelInvitation(const HostCall& call);

// The kiosk's check-in with a code (houses rules already accepted): one
// answer for a wrong, used, cancelled or other day's code.
HttpResponse checkInByCode(const DeskCall& call, const nlohmann::json& code);
// The visit on site today that checked in with the code, or nullopt.
std::optional<std::int64_t> visitOfCode(const nlohmann::json& code, std::int64_t since);

// "YYYY-MM-DD" of the local day of ms.
std::string localDate(std::int64_t ms);
// Whether text is a real date YYYY-MM-DD.
bool isDate(const std::string& text);
