// Desk accounts made by single sign-on. Each is tied to the provider's
// identity of the person (issuer and subject), never to a local account of
// the same name, and has no password of its own.
#pragma once

#include <string>

#include "store/accounts.h"
#include "store/database.h"

// The account of that identity, made on its first sign-in with the name and
// given the role on each. conflict: another account (local, or of another
// identity) already has the name.
Outcome signInSsoAccount(const std::string& issuer, const std::string& subject, const std::string& name,
                         const std::string& role, DeskAccount& account);
// Ends the sessions of that identity's account, if it has one (its groups
// no longer allow the desk).
Outcome endSsoAccountSessions(const std::string& issuer, const std::string& subject);
