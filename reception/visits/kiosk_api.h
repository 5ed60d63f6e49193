// The self check-in kiosk's API under /api/kiosk/, for kiosk accounts only
// (which reach nothing else):
//   GET  house-rules        {"version", "text"}; version null when none are set
//   GET  hosts?q=           at least 2 letters: {"hosts": [{"id", "name"}]}, at most 10
//                           active members, names only
//   POST check-in           {"code"} or {"guestName", "company", "hostId"}, with
//                           "houseRulesVersion" when house rules are set:
//                           {"visitId", "guestName", "hostName"}; without it
//                           409 {"error", "houseRulesVersion"}, and a code is
//                           checked first (404 when it cannot be used)
//   GET  on-site?q=         at least 2 letters: {"visits": [{"id", "guestName"}]}, today's
//                           visits on site only
//   POST sign-out           {"code"} or {"visitId"}
#pragma once

#include "desk/answers.h"

HttpResponse kioskHouseRules(const DeskCall& call);
HttpResponse kioskHosts(const DeskCall& call);
HttpResponse kioskCheckIn(const DeskCall& call);
HttpResponse kioskOnSite(const DeskCall& call);
HttpResponse kioskSignOut(const DeskCall& call);

// Local midnight of the day of ms (the kiosk's "today").
std::int64_t startOfLocalDay(std::int64_t ms);
