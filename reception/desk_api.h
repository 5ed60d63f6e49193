// The front desk's JSON API under /api/desk/. Every request but login needs
// a session (the cookie login sets); "admin" marks what only admins may do.
//   POST   login                       {"name", "password"}: sets the session cookie
//   POST   logout                      ends the session
//   GET    session                     {"name", "role"} of the session's account
//   GET    state                       staff, guests and the service's clock
//   POST   staff                       admin: {"firstName", "lastName"} or {"name"}, and
//                                      optionally {"email", "alertUrl"}
//   PUT    staff/<id>                  admin: {"email", "alertUrl"} (contact_api.h)
//   DELETE staff/<id>                  admin
//   POST   notifications               {"staffId", "guestName", "note"}
//   POST   notifications/<id>/archive  the desk withdraws a guest
//   GET    accounts                    admin: the desk accounts
//   POST   accounts                    admin: {"name", "role", "password"}
//   DELETE accounts/<id>               admin
//   POST   accounts/<id>/password      admin: {"password"}
//   GET    audit[?before=<id>]         admin: the audit log, newest first, 50 a page
//   and the requests of front_desk_api.h (reassign for desk accounts, the rest admin)
// Writes from another site's page (Origin, Sec-Fetch-Site) answer 403.
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
