#include "directory/directory_options.h"

#include "text/url_host.h"

namespace {

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

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
