#include "directory/directory_options.h"

#include "text/text.h"
#include "text/url_host.h"

const char directoryUsage[] =
    "\n"
    "The staff directory (LDAP), read by directory-sync, by the desk page's Sync now\n"
    "and every --ldap-sync-minutes:\n"
    "  --ldap-url URL           ldap://HOST[:PORT] or ldaps://HOST[:PORT]: the staff\n"
    "                           directory (see vestibra-reception directory-sync)\n"
    "  --ldap-tls starttls|none on ldap://, StartTLS (the default; the sync fails\n"
    "                           when the server does not offer it) or plain text\n"
    "  --ldap-ca-file FILE      PEM CA certificates the directory's certificate must\n"
    "                           chain to; default the system's\n"
    "  --ldap-bind-dn DN        the account to read the directory as; default anonymous\n"
    "  --ldap-bind-password-file FILE\n"
    "                           its password: the file's first line\n"
    "  --ldap-base DN           where the staff are searched\n"
    "  --ldap-filter FILTER     who counts as staff; default\n"
    "                           (&(objectClass=person)(givenName=*)(sn=*))\n"
    "  --ldap-sync-minutes N    sync the staff from the directory every N minutes;\n"
    "                           default 0: only on request\n"
    "  --ldap-max-entries N     a directory listing more people than this fails the\n"
    "                           sync (nothing changes); default 100000\n"
    "  --ldap-allow-plaintext   with --ldap-tls none, send the bind password in clear\n"
    "                           to a directory that is not on this machine (refused\n"
    "                           otherwise)\n"
    "  --ldap-login-attribute NAME\n"
    "                           what hosts sign in to their page with; default uid\n"
    "                           (sAMAccountName on Active Directory)\n";

namespace {

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// ldap:// or ldaps:// with a host, an optional port and nothing after it.
bool isLdapUrl(const std::string& url) {
  std::size_t schemeEnd = startsWith(url, "ldap://") ? 7 : startsWith(url, "ldaps://") ? 8 : 0;
  if (schemeEnd == 0) return false;
  std::string rest = url.substr(schemeEnd);
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  std::size_t colon = rest.rfind(':');
  std::string host = rest.substr(0, colon);
  if (host.empty() || host.find_first_of("/?# ") != std::string::npos) return false;
  if (colon == std::string::npos) return true;
  std::string port = rest.substr(colon + 1);
  return !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos &&
         std::stol(port) >= 1 && std::stol(port) <= 65535;
}

std::string applyMinutes(const std::string& value, long long& minutes) {
  // A week at most: a longer period is a typing error.
  bool digits = !value.empty() && value.size() <= 5 && value.find_first_not_of("0123456789") == std::string::npos;
  if (!digits || std::stoll(value) > 10080) return "--ldap-sync-minutes: \"" + value + "\" is not a number from 0 to 10080";
  minutes = std::stoll(value);
  return "";
}

std::string applyMaxEntries(const std::string& value, long long& maxEntries) {
  std::int64_t parsed = 0;
  if (!parseDecimal(value, 8, parsed) || parsed < 1 || parsed > 10000000) {
    return "--ldap-max-entries: \"" + value + "\" is not a number from 1 to 10000000";
  }
  maxEntries = parsed;
  return "";
}

}  // namespace

bool isDirectoryFlag(const std::string& name) { return name == "--ldap-allow-plaintext"; }

bool isDirectoryOption(const std::string& name) {
  return name == "--ldap-url" || name == "--ldap-tls" || name == "--ldap-ca-file" || name == "--ldap-bind-dn" ||
         name == "--ldap-bind-password-file" || name == "--ldap-base" || name == "--ldap-filter" ||
         name == "--ldap-sync-minutes" || name == "--ldap-max-entries" || name == "--ldap-login-attribute";
}

std::string applyDirectoryOption(const std::string& name, const std::string& value, DirectoryOptions& options) {
  if (value.empty()) return name + " needs a value";
  if (name == "--ldap-sync-minutes") return applyMinutes(value, options.syncMinutes);
  if (name == "--ldap-max-entries") return applyMaxEntries(value, options.maxEntries);
  if (name == "--ldap-url") {
    options.url = value;
    return isLdapUrl(value) ? "" : "--ldap-url must be ldap://HOST[:PORT] or ldaps://HOST[:PORT]";
  }
  if (name == "--ldap-tls") {
    options.tls = value;
    return value == "starttls" || value == "none" ? "" : "--ldap-tls is starttls or none";
  }
  if (name == "--ldap-login-attribute") {
    options.loginAttribute = value;
    return value.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-") == std::string::npos
               ? ""
               : "--ldap-login-attribute must be an attribute name";
  }
  if (name == "--ldap-filter") {
    options.filter = value;
    return value.front() == '(' && value.back() == ')' ? "" : "--ldap-filter must be in parentheses";
  }
  std::string& field = name == "--ldap-ca-file"    ? options.caFile
                       : name == "--ldap-bind-dn" ? options.bindDn
                       : name == "--ldap-base"    ? options.base
                                                  : options.passwordFile;
  field = value;
  return "";
}

std::string checkDirectoryOptions(const DirectoryOptions& options) {
  if (options.url.empty()) return "--ldap-url is needed to read the staff directory";
  if (options.base.empty()) return "--ldap-base is needed to read the staff directory";
  if (options.bindDn.empty() != options.passwordFile.empty()) {
    return "--ldap-bind-dn and --ldap-bind-password-file go together";
  }
  if (startsWith(options.url, "ldaps://") && options.tls == "starttls") {
    return "--ldap-tls starttls is for ldap:// URLs; ldaps:// is TLS from the start";
  }
  if (sendsPasswordInClear(options) && !options.allowPlaintext) {
    return "--ldap-tls none would send the bind password in clear to " + urlHost(options.url) +
           "; use StartTLS or ldaps://, or add --ldap-allow-plaintext";
  }
  return "";
}

bool sendsPasswordInClear(const DirectoryOptions& options) {
  return startsWith(options.url, "ldap://") && options.tls == "none" && !options.passwordFile.empty() &&
         !isLoopbackHost(urlHost(options.url));
}

bool usesStartTls(const DirectoryOptions& options) { return startsWith(options.url, "ldap://") && options.tls != "none"; }
