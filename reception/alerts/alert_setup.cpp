#include "alerts/alert_setup.h"

#include "config/secret_file.h"
#include "log/service_log.h"
#include "text/url_host.h"

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
  settings.claimMs = options.claimSeconds * 1000;
  if (sendsSmtpPasswordInClear(options)) {
    logEvent("warning: the SMTP password goes in clear to " + urlHost(options.smtpUrl) +
             " (--smtp-tls none, --smtp-allow-plaintext)");
  }
  if (options.smtpPasswordFile.empty()) return "";
  return readSecretFile(options.smtpPasswordFile, "SMTP", settings.smtp.password);
}


