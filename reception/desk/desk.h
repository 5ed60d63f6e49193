// The front desk's JSON API under /api/desk/, one handler per request; the
// service's route table says which path, method, role and lane each has.
// Every request but login needs a session (the cookie login sets).
//   POST   login                       {"name", "password"}: sets the session cookie
//   POST   logout                      ends the session
//   GET    session                     {"name", "role"} of the session's account
//   GET    state                       staff, guests (those waiting and the last 200
//                                      handled) and the service's clock; contacts masked
//                                      for desk-role accounts
//   POST   notifications               {"staffId", "guestName", "note"}
//   POST   notifications/<id>/archive  the desk withdraws a guest
//   POST   notifications/<id>/reassign {"staffId"}: the guest goes to another host
//   POST   staff                       admin: {"firstName", "lastName"} or {"name"}, and
//                                      optionally {"email", "alertUrl"}
//   PUT    staff/<id>                  admin: {"email", "alertUrl"} (contacts.h)
//   DELETE staff/<id>                  admin
//   POST   staff/import                admin: {"csv", "apply"}: preview, or apply, a staff CSV
//   GET    staff.csv                   admin: the staff directory as CSV
//   GET    accounts                    admin: the desk accounts
//   POST   accounts                    admin: {"name", "role", "password"}
//   DELETE accounts/<id>               admin
//   POST   accounts/<id>/password      admin: {"password"}
//   GET    audit[?before=<id>]         admin: the audit log, newest first, 50 a page
//   GET    visitors?from=&to=&host=&after= admin: the visitor log, 2,000 a page; times in ms
//                                      since the epoch; "next" is the following page's after=
//   GET    visitors.csv?from=&to=&host= admin: the same as CSV
//   GET    notifier-setup              admin: {"key", "builtInKey", "install"}: the notifiers' installer line
// Errors answer 4xx or 5xx with {"error": message}.
#pragma once

#include <optional>
#include <string>

#include "desk/answers.h"
#include "rules/session_cookies.h"
#include "downloads/install_line.h"

// Archived guests stay on the desk page for this long.
constexpr long long archivedShownMs = 12LL * 60 * 60 * 1000;

// The board (board.cpp).
HttpResponse state(const DeskCall& call);
HttpResponse announceGuest(const DeskCall& call);
HttpResponse withdrawGuest(const DeskCall& call);
HttpResponse reassignWaitingGuest(const DeskCall& call);

// The staff directory (staff.cpp).
HttpResponse addStaffMember(const DeskCall& call);
HttpResponse removeStaffMember(const DeskCall& call);
HttpResponse importStaffCsv(const DeskCall& call);
HttpResponse exportStaffCsv(const DeskCall& call);

// Logging in and out (login.cpp). login needs no session; throttled, audited.
HttpResponse login(const HttpRequest& request);
// What login answers without hashing a password (a malformed body, a
// throttled name or address), or nullopt: checked before a login waits for the hasher.
std::optional<HttpResponse> loginRefusal(const HttpRequest& request);
// The session token the request's Cookie header carries, or "".
std::string sessionToken(const HttpRequest& request);
// How many session cookies the request carries; more than one is refused,
// as another service on the same host name may have set one.
std::size_t sessionCookieCount(const HttpRequest& request);
HttpResponse logout(const DeskCall& call);
HttpResponse whoAmI(const DeskCall& call);

// Desk accounts and the audit log (accounts.cpp).
HttpResponse accountList(const DeskCall& call);
HttpResponse accountAdd(const DeskCall& call);
HttpResponse accountRemove(const DeskCall& call);
HttpResponse accountPassword(const DeskCall& call);
HttpResponse auditLog(const DeskCall& call);

// The notifiers' installation (notifier_setup.cpp).
HttpResponse notifierSetup(const DeskCall& call);

// The visitor log and the retention of records (visitor_log.cpp).
HttpResponse visitorList(const DeskCall& call);
HttpResponse visitorListCsv(const DeskCall& call);
// Runs the retention once and logs what it deleted; called at start-up and daily.
void applyRetention(int retentionDays);
