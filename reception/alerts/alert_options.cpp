#include "alerts/alert_options.h"

#include "alerts/alert_policy.h"
#include "text/text.h"
#include "text/url_host.h"

namespace {

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

std::string applySmtp(const std::string& name, const std::string& value, AlertOptions& options) {
  if (name == "--smtp-url") {
    if (!startsWith(value, "smtp://") && !startsWith(value, "smtps://")) {
      return "--smtp-url must start with smtp:// or smtps://";
    }
    options.smtpUrl = value;
  } else if (name == "--smtp-tls") {
    if (value != "starttls" && value != "none") return "--smtp-tls must be starttls or none";
    options.smtpRequireTls = value == "starttls";
  } else if (name == "--smtp-user") {
    options.smtpUser = value;
  } else if (name == "--smtp-password-file") {
    options.smtpPasswordFile = value;
  } else if (name == "--smtp-from") {
    if (!checkEmail(value).empty()) return "--smtp-from: \"" + value + "\" is not an email address";
    options.smtpFrom = value;
  } else {
    options.smtpCaFile = value;
  }
  return "";
}

}  // namespace

bool applyAlertFlag(const std::string& name, AlertOptions& options) {
  if (name == "--smtp-allow-plaintext") {
    options.smtpAllowPlaintext = true;
  } else if (name == "--alert-allow-loopback") {
    options.allowLoopback = true;
  } else {
    return false;
  }
  return true;
}

bool isAlertOption(const std::string& name) {
  return name == "--smtp-url" || name == "--smtp-tls" || name == "--smtp-user" || name == "--smtp-password-file" ||
         name == "--smtp-from" || name == "--smtp-ca-file" || name == "--team-webhook" || name == "--team-email" ||
         name == "--public-url" || name == "--alert-claim-seconds";
}

std::string applyAlertOption(const std::string& name, const std::string& value, AlertOptions& options) {
  if (value.empty()) return name + " needs a value";
  if (startsWith(name, "--smtp-")) return applySmtp(name, value, options);
  if (name == "--alert-claim-seconds") {
    std::int64_t seconds = 0;
    if (parseDecimal(value, 4, seconds) && seconds >= 1 && seconds <= 3600) {
      options.claimSeconds = seconds;
      return "";
    }
    return "--alert-claim-seconds: \"" + value + "\" is not a whole number from 1 to 3600";
  }
  if (name == "--team-webhook") {
    std::string problem = checkAlertUrl(value);
    options.teamWebhook = value;
    return problem.empty() ? "" : "--team-webhook: " + problem;
  }
  if (name == "--team-email") {
    options.teamEmail = value;
    return checkEmail(value).empty() ? "" : "--team-email: \"" + value + "\" is not an email address";
  }
  if (!checkAlertUrl(value).empty()) return "--public-url must be an http:// or https:// address";
  options.publicUrl = value.back() == '/' ? value : value + "/";
  return "";
}

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
