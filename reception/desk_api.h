// The front desk's JSON API under /api/desk/:
//   GET    state                       staff, guests and the service's clock
//   POST   staff                       {"firstName", "lastName"} or {"name"}
//   DELETE staff/<id>
//   POST   notifications               {"staffId", "guestName", "note"}
//   POST   notifications/<id>/archive  the desk withdraws a guest
//   and the requests of front_desk_api.h
// Errors answer 4xx or 5xx with {"error": message}.
#pragma once

#include <string_view>

#include "http_server.h"

// A notifier that polled within this time counts as online.
constexpr long long onlineWindowMs = 30LL * 1000;
// Archived guests stay on the desk page for this long.
constexpr long long archivedShownMs = 12LL * 60 * 60 * 1000;

// route is the path after "/api/desk/".
HttpResponse answerDesk(const HttpRequest& request, std::string_view route);
