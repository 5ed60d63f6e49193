#include "alerts/alert_setup.h"

#include <unistd.h>

#include <cstring>

#include "config/secret_file.h"

namespace {

std::string defaultPublicUrl(std::uint16_t port) {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') std::strcpy(name, "localhost");
  return std::string("http://") + name + (port == 80 ? "" : ":" + std::to_string(port)) + "/";
}

}  // namespace

std::string prepareAlertSettings(const AlertOptions& options, std::uint16_t listenPort, AlertSettings& settings) {
  settings.smtp.url = options.smtpUrl;
  // smtps:// is TLS from the start; STARTTLS applies to smtp:// only.
  settings.smtp.requireTls = options.smtpRequireTls || options.smtpUrl.rfind("smtps://", 0) == 0;
  settings.smtp.user = options.smtpUser;
  settings.smtp.from = options.smtpFrom;
  settings.smtp.caFile = options.smtpCaFile;
  settings.teamWebhook = options.teamWebhook;
  settings.teamEmail = options.teamEmail;
  settings.publicUrl = options.publicUrl.empty() ? defaultPublicUrl(listenPort) : options.publicUrl;
  if (options.smtpPasswordFile.empty()) return "";
  return readSecretFile(options.smtpPasswordFile, "SMTP", settings.smtp.password);
}


