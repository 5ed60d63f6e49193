// Reads the staff directory's people over LDAP with the OpenLDAP client
// library: StartTLS or ldaps, a simple bind, and a paged search.
#pragma once

#include <string>
#include <vector>

#include "directory/directory_diff.h"

struct LdapSettings {
  std::string url;
  bool startTls = true;  // upgrade an ldap:// connection; refused when the server cannot
  std::string caFile;    // "": the system's CA certificates
  std::string bindDn;    // "": anonymous
  std::string password;
  std::string base;
  std::string filter;
  int timeoutSeconds = 60;  // for the whole read, connection included
  std::string loginAttribute{"uid"};  // read with each entry, for hosts' sign-in
};

// Entries are paged in this many per request: below the 1,000 a server
// may return at most without paging.
constexpr int ldapPageSize = 500;

// Fills entries with every person under the base matching the filter; ""
// or why the directory could not be reached, bound or searched (entries are
// then empty). Never names the password.
std::string readDirectory(const LdapSettings& settings, std::vector<DirectoryEntry>& entries);

// The stable identity of an entry: entryUUID, else objectGUID as hex, else the DN.
std::string entryIdentity(const std::string& entryUuid, const std::string& objectGuid, const std::string& dn);
