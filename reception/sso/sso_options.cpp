#include "sso/sso_options.h"

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

std::string checkSsoOptions(const SsoOptions& options) {
  bool any = !options.issuer.empty() || !options.clientId.empty() || !options.clientSecretFile.empty();
  if (!any) return "";
  if (options.issuer.empty() || options.clientId.empty() || options.clientSecretFile.empty()) {
    return "--oidc-issuer, --oidc-client-id and --oidc-client-secret-file go together";
  }
  return "";
}
