// Invitations, from the desk and from a host's own page:
//   POST /api/desk/invitations              desk, admin: {"hostId", "guestName", "company", "guestEmail",
//                                           "expectedOn" (YYYY-MM-DD), "expectedAt" (HH:MM), "note"}:
//                                           201 {"id", "code", ...}; mails the guest when an address is given
//   GET  /api/desk/invitations?day=         desk, admin: that day's (default today) {"invitations": [...]}
//   POST /api/desk/invitations/<id>/check-in  desk, admin: the expected guest is here
// (The host's own, under /api/me/invitations, are in host/my_invitations.cpp.)
#pragma once

#include <functional>
#include <optional>

#include "desk/answers.h"
#include "store/notifications.h"

HttpResponse deskInvite(const DeskCall& call);
HttpResponse deskInvitations(const DeskCall& call);
HttpResponse deskCheckInInvitation(const DeskCall& call);

// The kiosk's check-in with a code (house rules already accepted): one
// answer for a wrong, used, cancelled or other day's code.
HttpResponse checkInByCode(const DeskCall& call, const nlohmann::json& code);
// The answer to a code that cannot check anyone in today (404, as
// checkInByCode gives it), or nullopt when it can; changes nothing.
std::optional<HttpResponse> codeRefusal(const nlohmann::json& code);
// The visit on site today that checked in with the code, or nullopt.
std::optional<std::int64_t> visitOfCode(const nlohmann::json& code, std::int64_t since);

// The audit detail of a check-in, made when the check-in commits.
std::function<std::string()> checkInDetail(const NotificationRow& announced, const std::int64_t& visitId);
