#include "service_settings.h"

#include "downloads/notifier_installer.h"

namespace {

NotifierSettings notifierSettings(const ReceptionOptions& options, const std::string& builtInKey) {
  NotifierSettings notifier;
  notifier.accessKey = options.key.empty() ? builtInKey : options.key;
  notifier.codePage = options.codePage;
  return notifier;
}

FrontDeskPolicy frontDeskPolicy(const ReceptionOptions& options) {
  FrontDeskPolicy policy;
  policy.unseenAfterMs = options.escalateAfterUnseenSeconds * 1000;
  policy.unacknowledgedAfterMs = options.escalateAfterUnacknowledgedSeconds * 1000;
  policy.retentionDays = static_cast<int>(options.retentionDays);
  return policy;
}

DeskSettings deskSettings(const ReceptionOptions& options, const NotifierSettings& notifier,
                          const std::string& builtInKey) {
  DeskSettings desk;
  desk.notifierKeyBuiltIn = notifier.accessKey == builtInKey;
  desk.notifierInstaller = notifierInstallerOffered();
  desk.codePage = notifier.codePage;
  desk.maxWaitingPerHost = options.maxWaitingPerHost;
  desk.policy = frontDeskPolicy(options);
  return desk;
}

// Hosts' directory passwords are checked on the directory connection of the sync.
LdapSettings hostDirectory(const DirectoryOptions& directory) {
  LdapSettings connection;
  connection.url = directory.url;
  connection.startTls = usesStartTls(directory);
  connection.caFile = directory.caFile;
  connection.timeoutSeconds = 10;
  return connection;
}

NotifierKeys notifierKeys(const std::string& word) {
  return word == "shared" ? NotifierKeys::shared : word == "personal" ? NotifierKeys::personal : NotifierKeys::both;
}

}  // namespace

ServiceSettings serviceSettings(const ReceptionOptions& options, const std::string& builtInKey) {
  ServiceSettings settings;
  settings.notifier = notifierSettings(options, builtInKey);
  settings.desk = deskSettings(options, settings.notifier, builtInKey);
  settings.host.directory = hostDirectory(options.directory);
  settings.notifierKeys = notifierKeys(options.notifierKeys);
  settings.maxEventStreams = options.maxEventStreams;
  settings.maxConnectionsPerAddress = options.maxConnectionsPerAddress;
  settings.deskWritesPerSecond = options.deskWritesPerSecond;
  settings.hostWritesPerSecond = options.hostWritesPerSecond;
  settings.host.invitationMailsPerDay = options.invitationMailsPerHostPerDay;
  settings.trustedProxies = options.trustedProxies;
  return settings;
}

void shareAlertSettings(AlertSettings& alerts, ServiceSettings& settings) {
  alerts.policy = settings.desk.policy;
  settings.desk.alertTargets = alerts.targets;
  settings.desk.alertMail = !alerts.smtp.url.empty();
  settings.host.smtp = alerts.smtp;
  settings.host.publicUrl = alerts.publicUrl;
  settings.host.alertTargets = alerts.targets;
  // Invitations are mailed whenever mail is configured, through the outbox the alert worker sends.
  settings.desk.visits.mailFrom = alerts.smtp.url.empty() ? "" : alerts.smtp.from;
  settings.host.visits = settings.desk.visits;
}
