// Hosts' own sessions on their page at /me/, and the single-use sign-in
// links mailed to them. Like the desk's sessions, only a hash of each token
// is stored. A session ends 30 days after its last use, on logout, when its
// member leaves the staff (a trigger of the schema) and when an admin signs
// the member out everywhere.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "store/database.h"

constexpr std::int64_t hostSessionIdleLimitMs = 30LL * 24 * 60 * 60 * 1000;
constexpr std::int64_t signInLinkLifetimeMs = 15LL * 60 * 1000;

// The member of staff a host session belongs to.
struct HostMember {
  std::int64_t id = 0;
  std::string displayName;
  std::string email;
  std::string alertUrl;
  bool fromDirectory = false;  // the email is the directory's
};

// A new session for an active member: its token (256 random bits as hex).
// method ("password" or "link") is kept for the staff panel.
Outcome startHostSession(std::int64_t staffId, const std::string& method, std::string& token);
// The session's member while the session lasts and the member is active; marks it used.
Outcome findHostSession(const std::string& token, HostMember& member);
Outcome endHostSession(const std::string& token);
// Ends every session of the member; the number ended.
Outcome endHostSessions(std::int64_t staffId, int& ended);
// The members with a session that has not ended.
Outcome membersWithHostSessions(std::set<std::int64_t>& members);

// A new sign-in link's token for the active member with that email
// (compared without case); notFound when there is none, conflict when
// maxLinksPerMember links were made for the member within the last 15 minutes
// (nobody's mailbox is flooded by asking again and again).
constexpr int maxLinksPerMember = 5;
Outcome newSignInLink(const std::string& email, HostMember& member, std::string& token);
// The link's member while the link is unused and young; changes nothing.
Outcome findSignInLink(const std::string& token, HostMember& member);
// Uses up the link and starts a session, in one transaction; notFound for an
// unknown, used or expired link.
Outcome signInWithLink(const std::string& token, HostMember& member, std::string& sessionToken);

// The active member with that directory login name, and its entry's DN.
Outcome findDirectoryLogin(const std::string& login, HostMember& member, std::string& dn);
