// The host's own page's JSON API under /api/me/, for a member of staff
// signed in with the directory password or a link by mail:
//   POST login                       {"login", "password"}: the directory password (LDAP simple bind)
//   POST sign-in-link                {"email"}: always 202; mails a single-use link when a member has it
//   GET  /me/sign-in/<token>         a page with a "Sign in" button; changes nothing
//   POST /me/sign-in/<token>         signs in and goes to /me/
//   POST logout
//   GET  session                     {"id", "name"}
//   GET  events                      text/event-stream: "snapshot", then one event per change
//   POST notifications/<id>/acknowledge  "On my way"
//   GET  contacts, PUT contacts {"email", "alertUrl"}, POST contacts/test
//   GET  visits                      the last 30 days' guests, newest first
//   GET  notifier, POST notifier/new-key  the personal notifier key; a new one
// Errors answer 4xx or 5xx with {"error": message}.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "alerts/alert_sender.h"
#include "rules/target_rule.h"
#include "directory/ldap_reader.h"
#include "http/query.h"
#include "http/server.h"
#include "rules/session_cookies.h"
#include "store/audit.h"
#include "store/host_sessions.h"
#include "rules/visit_settings.h"


// The host page's part of the service's settings, fixed at start.
struct HostSettings {
  SmtpSettings smtp;          // the alerts' mail settings; no sign-in links without them
  std::string publicUrl;      // ends with "/"; the links point here
  LdapSettings directory;     // the connection a member's password is checked on; url "" for none
  AlertTargetRule alertTargets;  // where a host's own push address may point
  std::string alertTimeZone;  // unused for now
  VisitSettings visits;       // for the host's invitations: the mail's arrival text
  unsigned invitationMailsPerDay = 50;  // invitations with a guest's email per member in 24 hours
};

// One request of a signed-in host.
struct HostCall {
  const HttpRequest& request;
  const HostMember& member;
  std::int64_t id = 0;
  const QueryMap& query;
  const HostSettings& settings;
};

// The audit entry of a host's change, written in the change's own transaction.
AuditedChange auditedChange(const HostCall& call, const char* action, std::function<std::string()> detail);

// The host session's token the request carries, or "".
std::string hostSessionToken(const HttpRequest& request);
std::size_t hostCookieCount(const HttpRequest& request);

// Signing in and out (sign_in.cpp); login and the link need no session.
HttpResponse hostLogin(const HttpRequest& request, const HostSettings& settings);
// What hostLogin answers without asking the directory, or nullopt.
std::optional<HttpResponse> hostLoginRefusal(const HttpRequest& request);
HttpResponse requestSignInLink(const HttpRequest& request, const HostSettings& settings);
HttpResponse signInPage(const HttpRequest& request, std::string_view token);
HttpResponse hostLogout(const HostCall& call);
HttpResponse hostSession(const HostCall& call);

// The host's guests and records (my_guests.cpp).
HttpResponse hostEvents(const HostCall& call);
HttpResponse acknowledgeMyGuest(const HostCall& call);
HttpResponse myVisits(const HostCall& call);
HttpResponse myContacts(const HostCall& call);
HttpResponse updateMyContacts(const HostCall& call);
HttpResponse testMyContacts(const HostCall& call);
// The host's own invitations (my_invitations.cpp): POST {"guestName", "company",
// "guestEmail", "expectedOn", "expectedAt", "note"}, GET those from today on,
// DELETE one still open.
HttpResponse hostInvite(const HostCall& call);
HttpResponse hostInvitations(const HostCall& call);
HttpResponse hostCancelInvitation(const HostCall& call);
// {"key", "install"}: the host's personal notifier key and its installer line.
HttpResponse myNotifierKey(const HostCall& call);
// POST notifier/new-key: a new personal key at once, answered as GET notifier; the old one is refused.
HttpResponse newMyNotifierKey(const HostCall& call);

// Mails sign-in links on a thread of its own, so no request waits for the
// mail server (and the answer's time tells nothing). Started on first use.
void stopHostMailer();
