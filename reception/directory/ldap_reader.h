// Reads the staff directory's people over LDAP with the OpenLDAP client
// library: StartTLS or ldaps, a simple bind, and a paged search.
#pragma once

#include <cstddef>
#include <cstdint>
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
  std::size_t maxEntries = 100000;  // more entries than this fail the read
  std::string loginAttribute{"uid"};  // read with each entry, for hosts' sign-in
};

// Limits of one read against a directory that sends without end: an entry
// with a longer value (its DN included) is rejected, and the read fails
// past this many bytes of entries (or one message past a mebibyte).
constexpr std::size_t ldapMaxValueBytes = 1024;
constexpr std::uint64_t ldapMaxReadBytes = 256ULL << 20;

// Entries are paged in this many per request: below the 1,000 a server
// may return at most without paging.
constexpr int ldapPageSize = 500;

// Fills entries with every person under the base matching the filter; ""
// or why the directory could not be reached, bound or searched, or sent
// more than the limits allow (entries are then empty). Each entry is checked
// as it arrives and only what a sync needs of it is kept. Never names the
// password.
std::string readDirectory(const LdapSettings& settings, std::vector<DirectoryEntry>& entries);

// What the directory said of a password: taken, refused, or nothing, since
// it could not be reached (why says what failed: down, timed out, TLS).
struct PasswordCheck {
  enum Verdict { accepted, refused, unreachable };
  Verdict verdict = refused;
  std::string why;
};

// Whether the directory takes this password for the entry: a simple bind as
// its DN on the configured connection (TLS as configured). An empty password
// is refused first, as LDAP takes it for an unauthenticated bind that "succeeds".
PasswordCheck checkDirectoryPassword(const LdapSettings& settings, const std::string& dn, const std::string& password);

// The stable identity of an entry: entryUUID, else objectGUID as hex, else the DN.
std::string entryIdentity(const std::string& entryUuid, const std::string& objectGuid, const std::string& dn);

// What is kept of one entry as it arrives: its DN and the first value of
// each attribute a sync reads, each cut to ldapMaxValueBytes, with problem
// set when one was longer. Pure, so that any entry a server may send can be
// tried without one.
struct RawAttribute {
  std::string name;
  std::vector<std::string> values;
};
DirectoryEntry entryFromValues(const std::string& dn, const std::vector<RawAttribute>& attributes,
                               const std::string& loginAttribute = "");
