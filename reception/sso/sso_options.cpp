#include "sso/sso_options.h"

const char ssoUsage[] =
    "Single sign-on with OpenID Connect (the desk at /sso/desk, hosts at /sso/me):\n"
    "  --oidc-issuer URL        the provider (https://, or http:// on loopback)\n"
    "  --oidc-client-id ID      this service's client at the provider\n"
    "  --oidc-client-secret-file FILE  the client secret, read from FILE\n"
    "  --oidc-groups-claim NAME the ID token's claim with the groups; default groups\n"
    "  --oidc-admin-group NAME  members sign in to the desk as admin,\n"
    "  --oidc-desk-group NAME   as desk; others are refused\n"
    "  --oidc-kiosk-group NAME  its members sign in as the self check-in kiosk\n"
    "  --oidc-host-claim NAME   the claim matched to a member's email for the host\n"
    "                           page; default email\n"
    "  --oidc-display-name TEXT the provider's name on the login form; default\n"
    "                           \"single sign-on\"\n"
    "  --oidc-ca-file FILE      PEM CA certificates the provider's certificate must\n"
    "                           chain to; default the system's\n"
    "  The provider must allow the redirect URI <--public-url>sso/callback.\n";

namespace {

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

std::string hostOf(const std::string& url) {
  std::size_t start = url.find("://") + 3;
  std::string authority = url.substr(start, url.find_first_of("/?#", start) - start);
  if (authority.find('@') != std::string::npos) return "";  // no credentials in an issuer
  if (!authority.empty() && authority.front() == '[') return authority.substr(0, authority.find(']') + 1);
  return authority.substr(0, authority.find(':'));
}

bool isDottedNumbers(const std::string& host) {
  return host.find_first_not_of("0123456789.") == std::string::npos;
}

}  // namespace

bool isAllowedIssuer(const std::string& issuer) {
  if (issuer.find_first_of("?# \t\r\n") != std::string::npos) return false;
  if (startsWith(issuer, "https://")) return !hostOf(issuer).empty();
  if (!startsWith(issuer, "http://")) return false;
  std::string host = hostOf(issuer);
  return host == "localhost" || host == "[::1]" || (startsWith(host, "127.") && isDottedNumbers(host));
}

bool isSsoOption(const std::string& name) {
  return name == "--oidc-issuer" || name == "--oidc-client-id" || name == "--oidc-client-secret-file" ||
         name == "--oidc-groups-claim" || name == "--oidc-desk-group" || name == "--oidc-admin-group" ||
         name == "--oidc-kiosk-group" || name == "--oidc-host-claim" || name == "--oidc-display-name" ||
         name == "--oidc-ca-file";
}

std::string applySsoOption(const std::string& name, const std::string& value, SsoOptions& options) {
  if (value.empty()) return name + " needs a value";
  if (name == "--oidc-issuer") {
    if (!isAllowedIssuer(value)) return "--oidc-issuer must be an https:// address (http:// only on loopback)";
    // The issuer is compared with the tokens' iss exactly: keep it as given.
    options.issuer = value;
  } else if (name == "--oidc-client-id") {
    options.clientId = value;
  } else if (name == "--oidc-client-secret-file") {
    options.clientSecretFile = value;
  } else if (name == "--oidc-groups-claim") {
    options.groupsClaim = value;
  } else if (name == "--oidc-desk-group") {
    options.deskGroup = value;
  } else if (name == "--oidc-admin-group") {
    options.adminGroup = value;
  } else if (name == "--oidc-kiosk-group") {
    options.kioskGroup = value;
  } else if (name == "--oidc-host-claim") {
    options.hostClaim = value;
  } else if (name == "--oidc-ca-file") {
    options.caFile = value;
  } else {
    options.displayName = value;
  }
  return "";
}

std::string checkSsoOptions(const SsoOptions& options) {
  bool any = !options.issuer.empty() || !options.clientId.empty() || !options.clientSecretFile.empty();
  if (!any) return "";
  if (options.issuer.empty() || options.clientId.empty() || options.clientSecretFile.empty()) {
    return "--oidc-issuer, --oidc-client-id and --oidc-client-secret-file go together";
  }
  return "";
}
