#include "alerts/alert_setup.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "log/service_log.h"
#include "text/url_host.h"

namespace {

// The file's first line: a trailing line break is not part of a password.
bool readPassword(const std::string& path, std::string& password, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = "cannot read the SMTP password file " + path + ": " + std::strerror(errno);
    return false;
  }
  std::getline(file, password);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return true;
}

}  // namespace

std::string prepareAlertSettings(const AlertOptions& options, const std::string& defaultPublicUrl,
                                 AlertSettings& settings) {
  settings.smtp.url = options.smtpUrl;
  // smtps:// is TLS from the start; STARTTLS applies to smtp:// only.
  settings.smtp.requireTls = options.smtpRequireTls || options.smtpUrl.rfind("smtps://", 0) == 0;
  settings.smtp.user = options.smtpUser;
  settings.smtp.from = options.smtpFrom;
  settings.smtp.caFile = options.smtpCaFile;
  settings.teamWebhook = options.teamWebhook;
  settings.teamEmail = options.teamEmail;
  settings.publicUrl = options.publicUrl.empty() ? defaultPublicUrl : options.publicUrl;
  settings.targets.allowLoopback = options.allowLoopback;
  if (sendsSmtpPasswordInClear(options)) {
    logEvent("warning: the SMTP password goes in clear to " + urlHost(options.smtpUrl) +
             " (--smtp-tls none, --smtp-allow-plaintext)");
  }
  std::string error;
  if (!options.smtpPasswordFile.empty() && !readPassword(options.smtpPasswordFile, settings.smtp.password, error)) {
    return error;
  }
  return "";
}

std::string urlHostName(const std::string& url) {
  std::size_t start = url.find("://");
  if (start == std::string::npos) return "";
  start += 3;
  std::size_t end = url.find_first_of("/?#", start);
  std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
  std::size_t user = authority.rfind('@');
  if (user != std::string::npos) authority.erase(0, user + 1);
  if (!authority.empty() && authority.front() == '[') return authority.substr(0, authority.find(']') + 1);
  return authority.substr(0, authority.find(':'));
}
