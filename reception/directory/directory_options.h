// The --ldap-* options: where the staff directory is read from and how often.
#pragma once

#include <string>

constexpr char defaultLdapFilter[] = "(&(objectClass=person)(givenName=*)(sn=*))";

struct DirectoryOptions {
  std::string url;  // ldap://HOST[:PORT] or ldaps://HOST[:PORT]; "" for no directory
  std::string tls;  // "starttls" or "none"; "" for the default (starttls on ldap://)
  std::string caFile;
  std::string bindDn;
  std::string passwordFile;  // its first line is the bind password
  std::string base;
  std::string filter = defaultLdapFilter;
  long long syncMinutes = 0;  // 0: no scheduled sync
  long long maxEntries = 100000;  // a directory with more fails the sync
  bool allowPlaintext = false;  // --ldap-allow-plaintext: a bind password in clear to another host
  std::string loginAttribute = "uid";  // hosts sign in with this attribute's value
};

// ldap:// or ldaps:// with a host, an optional port and nothing after it.
bool isLdapUrl(const std::string& url);
// What a sync needs besides the single options: "" or a message.
std::string checkDirectoryOptions(const DirectoryOptions& options);
// Whether the connection is to be upgraded with StartTLS.
bool usesStartTls(const DirectoryOptions& options);
// Whether a bind password goes over a connection without TLS to a host other
// than loopback (allowed only with --ldap-tls none and --ldap-allow-plaintext,
// and then warned about at start).
bool sendsPasswordInClear(const DirectoryOptions& options);
