#include "alerts/alert_options.h"

#include "alerts/alert_policy.h"
#include "text/url_host.h"

namespace {

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

std::string checkAlertOptions(const AlertOptions& options) {
  if (!options.teamWebhook.empty()) {
    AlertTargetRule rule;
    rule.allowLoopback = options.allowLoopback;
    std::string problem = checkPushAddress(options.teamWebhook, rule);
    if (!problem.empty()) return "--team-webhook: " + problem + " (--alert-allow-loopback lets a relay on this machine)";
  }
  if (!options.smtpUrl.empty() && options.smtpFrom.empty()) return "--smtp-url needs --smtp-from";
  if (options.smtpUser.empty() != options.smtpPasswordFile.empty()) {
    return "--smtp-user and --smtp-password-file go together";
  }
  if (sendsSmtpPasswordInClear(options) && !options.smtpAllowPlaintext) {
    return "--smtp-tls none would send the SMTP password in clear to " + urlHost(options.smtpUrl) +
           "; use STARTTLS or smtps://, or add --smtp-allow-plaintext";
  }
  return "";
}

bool sendsSmtpPasswordInClear(const AlertOptions& options) {
  return startsWith(options.smtpUrl, "smtp://") && !options.smtpRequireTls && !options.smtpPasswordFile.empty() &&
         !isLoopbackHost(urlHost(options.smtpUrl));
}
