// What hosts sign in with: each directory entry's DN and login name, kept
// on its staff row (matched by the directory's identity) at every sync.
#pragma once

#include <string>
#include <vector>

#include "store/database.h"

struct DirectoryLogin {
  std::string identity;
  std::string dn;
  std::string login;  // "" when the entry has none: it cannot sign in with a password
};

// In the sync's transaction; rows not from these entries keep what they had.
Outcome writeDirectoryLogins(WriteTransaction& transaction, const std::vector<DirectoryLogin>& logins);
