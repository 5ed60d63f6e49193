#include "commands/option_table.h"

#include "alerts/alert_options.h"
#include "commands/options.h"
#include "directory/directory_options.h"
#include "http/forwarded_for.h"
#include "rules/validation.h"
#include "rules/visit_options.h"
#include "sso/sso_options.h"

namespace {

using O = ReceptionOptions;
using Dir = DirectoryOptions;
using Sso = SsoOptions;

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

bool isSmtpUrl(const std::string& url) { return startsWith(url, "smtp://") || startsWith(url, "smtps://"); }
bool isEmailAddress(const std::string& address) { return checkEmail(address).empty(); }
bool isInParentheses(const std::string& filter) { return filter.front() == '(' && filter.back() == ')'; }
bool isAttributeName(const std::string& name) {
  return name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-") == std::string::npos;
}
bool isIp(const std::string& address) { return isIpAddress(address); }

// --key and --key-file: the later of the two wins.
std::string applyKey(const std::string& name, const std::string& value, O& options) {
  options.key = value;
  options.keyFile.clear();
  return isKey(value) ? "" : name + " must be 1 to 128 letters, digits or -._~";
}

std::string applyKeyFile(const std::string& name, const std::string& value, O& options) {
  options.keyFile = value;
  options.key.clear();
  return value.empty() ? name + " needs a file name" : "";
}

std::string applyMetricsListen(const std::string& name, const std::string& value, O& options) {
  if (value.find(':') == std::string::npos) return name + " needs ADDRESS:PORT, for example 127.0.0.1:9464";
  return applyEndpoint(name, value, "127.0.0.1:9464", options.metricsAddress, options.metricsPort);
}

std::string applySignOut(const std::string& name, const std::string& value, O& options) {
  return applyVisitOption(name, value, options.visits);
}

std::string applySmtpTls(const std::string& name, const std::string& value, O& options) {
  if (value.empty()) return name + " needs a value";
  if (value != "starttls" && value != "none") return name + " must be starttls or none";
  options.alerts.smtpRequireTls = value == "starttls";
  return "";
}

std::string applyTeamWebhook(const std::string& name, const std::string& value, O& options) {
  if (value.empty()) return name + " needs a value";
  std::string problem = checkAlertUrl(value);
  options.alerts.teamWebhook = value;
  return problem.empty() ? "" : name + ": " + problem;
}

// Kept with a final "/": the reply links are made by appending to it.
std::string applyPublicUrl(const std::string& name, const std::string& value, O& options) {
  if (value.empty()) return name + " needs a value";
  if (!checkAlertUrl(value).empty()) return name + " must be an http:// or https:// address";
  options.alerts.publicUrl = value.back() == '/' ? value : value + "/";
  return "";
}

const NumberWord whole = NumberWord::whole;

// One row per option; --help shows them in this order, by room.
std::vector<OptionRow> makeTable() {
  return {
      // clang-format off
      {"listen", "ADDRESS[:PORT]", "127.0.0.1:80", Room::service, endpoint(at(&O::address), at(&O::port), "127.0.0.1:80"),
       "IPv4 address (or localhost, or * for all) and port to listen on (notifiers always connect to port 80; port 0 picks a free port)"},
      {"port", "PORT", "80", Room::service, port(at(&O::port)), "the port alone"},
      {"database", "FILE|URI", "reception.db", Room::service, fileName(at(&O::database)),
       "SQLite database file, or a PostgreSQL database: postgresql://USER@HOST/NAME"},
      {"database-password-file", "FILE", "", Room::service, fileName(at(&O::databasePasswordFile)),
       "PostgreSQL: the password's file (else libpq's own PGPASSFILE or ~/.pgpass)"},
      {"host-name", "NAME[:PORT]", "", Room::service, eachOf(at(&O::hostNames)),
       "another name the desk answers to (repeatable); with a port, that Host exactly (a load balancer's port); always localhost, 127.0.0.1, [::1], the listen address and this machine's host name"},
      {"tls-cert", "FILE", "", Room::service, text(at(&O::tlsCertificate)),
       "PEM certificate (chain) for HTTPS; with --tls-key, the desk is served over HTTPS and plain HTTP keeps only the notifier API"},
      {"tls-key", "FILE", "", Room::service, text(at(&O::tlsKey)), "the PEM private key of --tls-cert"},
      {"tls-listen", "ADDRESS[:PORT]", "the listen address, port 443", Room::service,
       nonEmpty(endpoint(at(&O::tlsAddress), at(&O::tlsPort), "0.0.0.0:443")), "the HTTPS listener"},
      {"metrics-listen", "ADDRESS:PORT", "off", Room::service, applyMetricsListen,
       "serve GET /metrics (Prometheus text format) there, without a desk session: use a loopback or management address"},
      {"trusted-proxy", "ADDRESS", "", Room::service, eachOf(at(&O::trustedProxies), isIp, ": \"{}\" is not an IP address"),
       "a load balancer in front (repeatable): requests from it are taken to come from the address it appends to X-Forwarded-For, for throttling and the logs"},
      {"max-connections-per-address", "N", "32", Room::service, number(at(&O::maxConnectionsPerAddress), 1, 100000),
       "connections one client address may hold at once"},
      {"max-event-streams", "N", "5000", Room::service, number(at(&O::maxEventStreams), 1, 100000),
       "hosts' pages open at once; beyond: 503"},
      {"user", "NAME", "", Room::service, text(at(&O::user)),
       "when started as root: bind the ports, then run as this user and its group"},
      {"access-log", "FILE", "", Room::service, text(at(&O::accessLog)),
       "one line per request in the combined log format (the notifiers' key masked); reopened on SIGHUP for log rotation"},
      {"demo", "", "", Room::service, flag(at(&O::demo)),
       "add a small demo staff directory if there are no staff, and the admin account reception with a new password"},
      {"config", "FILE", "", Room::service, nullptr,
       "read options from FILE first: one \"name = value\" per line with the long names (\"demo\" alone for --demo) and comments after \"#\"; the command line wins"},
      {"help", "", "", Room::service, flag(at(&O::help)), "show this text"},

      {"key", "KEY", "the notifiers' compiled-in key", Room::notifier, applyKey,
       "access key notifiers send (1 to 128 letters, digits or -._~)"},
      {"key-file", "FILE", "", Room::notifier, applyKeyFile,
       "read the access key from the file's first line (the package keeps it in /etc/vestibra/notifier.key)"},
      {"code-page", "NAME", "WINDOWS-1252", Room::notifier, text(at(&O::codePage), "a code page name"),
       "8-bit code page of the notifiers' texts, as iconv names it"},
      {"notifier-keys", "shared|personal|both", "both", Room::notifier,
       oneOf(at(&O::notifierKeys), {"shared", "personal", "both"}, " is shared, personal or both"),
       "which keys notifiers may use: the installation's one key, each host's personal key, or both"},
      {"notifier-msi", "FILE", "/usr/share/vestibra-reception/vestibra-win64.msi", Room::notifier, text(at(&O::notifierInstaller)),
       "the notifiers' installer offered at /downloads/vestibra-win64.msi (none offered when the file does not exist)"},

      {"max-waiting-per-host", "N", "50", Room::desk, number(at(&O::maxWaitingPerHost), 1, 10000),
       "guests that may wait for one member of staff at once (more are refused)"},
      {"desk-writes-per-second", "N", "5", Room::desk, number(at(&O::deskWritesPerSecond), 1, 1000),
       "changes one desk account may make per second, with bursts of six seconds' worth; more are answered 429"},
      {"host-writes-per-second", "N", "2", Room::desk, number(at(&O::hostWritesPerSecond), 1, 1000),
       "changes one host may make per second on their own page, with bursts of five seconds' worth; more are answered 429"},
      {"invitation-mails-per-host-per-day", "N", "50", Room::desk, number(at(&O::invitationMailsPerHostPerDay), 1, 100000),
       "invitations with a guest's email one host may make in 24 hours; more are refused"},
      {"escalate-after-unseen", "SECONDS", "60", Room::desk, number(at(&O::escalateAfterUnseenSeconds), 1, 604800, whole),
       "a guest not yet on the host's screen after this long stands out on the desk page"},
      {"escalate-after-unacknowledged", "SECONDS", "300", Room::desk,
       number(at(&O::escalateAfterUnacknowledgedSeconds), 1, 604800, whole),
       "the same for a guest on screen but not acknowledged"},
      {"retention-days", "DAYS", "30", Room::desk, number(at(&O::retentionDays), 0, 36500, whole),
       "delete guests finished more than DAYS days ago, at start-up and daily; 0 keeps them forever"},

      {"sign-out-at", "HH:MM|off", "23:59", Room::visits, applySignOut,
       "sign out every visit still on site at this local time each day; off keeps them"},
      {"house-rules-file", "FILE", "", Room::visits, fileName(at(&O::visits, &VisitOptions::houseRulesFile)),
       "UTF-8 text the kiosk asks each guest to accept"},
      {"visitor-instructions-file", "FILE", "", Room::visits, fileName(at(&O::visits, &VisitOptions::visitorInstructionsFile)),
       "UTF-8 arrival text for the invitation mails"},

      {"smtp-url", "URL", "", Room::alerts, checked(at(&O::alerts, &AlertOptions::smtpUrl), isSmtpUrl, " must start with smtp:// or smtps://"),
       "smtp://HOST[:PORT] or smtps://HOST[:PORT]: the mail server for alerts by email"},
      {"smtp-tls", "starttls|none", "starttls", Room::alerts, applySmtpTls,
       "with smtp://: require STARTTLS, or none for a relay on loopback"},
      {"smtp-user", "NAME", "", Room::alerts, text(at(&O::alerts, &AlertOptions::smtpUser)),
       "log in to the mail server as NAME, with the password of --smtp-password-file"},
      {"smtp-password-file", "FILE", "", Room::alerts, text(at(&O::alerts, &AlertOptions::smtpPasswordFile)),
       "the SMTP password, read from FILE"},
      {"smtp-from", "ADDRESS", "", Room::alerts,
       checked(at(&O::alerts, &AlertOptions::smtpFrom), isEmailAddress, ": \"{}\" is not an email address"),
       "the sender of alert mail (needed with --smtp-url)"},
      {"smtp-ca-file", "FILE", "", Room::alerts, text(at(&O::alerts, &AlertOptions::smtpCaFile)),
       "PEM certificates to trust for the mail server"},
      {"smtp-allow-plaintext", "", "", Room::alerts, flag(at(&O::alerts, &AlertOptions::smtpAllowPlaintext)),
       "with --smtp-tls none, send the SMTP password in clear to a mail server that is not on this machine (refused otherwise)"},
      {"team-webhook", "URL", "", Room::alerts, applyTeamWebhook, "the team's chat webhook, told of guests not acknowledged"},
      {"team-email", "ADDRESS", "", Room::alerts,
       checked(at(&O::alerts, &AlertOptions::teamEmail), isEmailAddress, ": \"{}\" is not an email address"),
       "the team's address, told the same by email"},
      {"public-url", "URL", "http://<this machine's host name>/", Room::alerts, applyPublicUrl,
       "the base of the reply links in alerts; https:// on the HTTPS port when HTTPS is on"},
      {"alert-allow-loopback", "", "", Room::alerts, flag(at(&O::alerts, &AlertOptions::allowLoopback)),
       "let push addresses on this machine (loopback) receive alerts: for tests and relays on the same machine; the service's own listeners stay refused"},
      {"alert-claim-seconds", "S", "60", Room::alerts, nonEmpty(number(at(&O::alerts, &AlertOptions::claimSeconds), 1, 3600, whole)),
       "how long a message being sent is held by its sender; after a crash mid-send another instance sends it again (same Idempotency-Key) once this runs out"},

      {"ldap-url", "URL", "", Room::directory,
       checked(at(&O::directory, &Dir::url), isLdapUrl, " must be ldap://HOST[:PORT] or ldaps://HOST[:PORT]"),
       "ldap://HOST[:PORT] or ldaps://HOST[:PORT]: the staff directory (see vestibra-reception directory-sync)"},
      {"ldap-tls", "starttls|none", "starttls", Room::directory, nonEmpty(oneOf(at(&O::directory, &Dir::tls), {"starttls", "none"}, " is starttls or none")),
       "on ldap://, StartTLS (the sync fails when the server does not offer it) or plain text"},
      {"ldap-ca-file", "FILE", "the system's", Room::directory, text(at(&O::directory, &Dir::caFile)),
       "PEM CA certificates the directory's certificate must chain to"},
      {"ldap-bind-dn", "DN", "anonymous", Room::directory, text(at(&O::directory, &Dir::bindDn)),
       "the account to read the directory as"},
      {"ldap-bind-password-file", "FILE", "", Room::directory, text(at(&O::directory, &Dir::passwordFile)),
       "its password: the file's first line"},
      {"ldap-base", "DN", "", Room::directory, text(at(&O::directory, &Dir::base)), "where the staff are searched"},
      {"ldap-filter", "FILTER", defaultLdapFilter, Room::directory,
       checked(at(&O::directory, &Dir::filter), isInParentheses, " must be in parentheses"), "who counts as staff"},
      {"ldap-sync-minutes", "N", "0", Room::directory, nonEmpty(number(at(&O::directory, &Dir::syncMinutes), 0, 10080)),
       "sync the staff from the directory every N minutes; 0: only on request"},
      {"ldap-max-entries", "N", "100000", Room::directory, nonEmpty(number(at(&O::directory, &Dir::maxEntries), 1, 10000000)),
       "a directory listing more people than this fails the sync (nothing changes)"},
      {"ldap-allow-plaintext", "", "", Room::directory, flag(at(&O::directory, &Dir::allowPlaintext)),
       "with --ldap-tls none, send the bind password in clear to a directory that is not on this machine (refused otherwise)"},
      {"ldap-login-attribute", "NAME", "uid", Room::directory,
       checked(at(&O::directory, &Dir::loginAttribute), isAttributeName, " must be an attribute name"),
       "what hosts sign in to their page with (sAMAccountName on Active Directory)"},

      {"oidc-issuer", "URL", "", Room::sso,
       checked(at(&O::sso, &Sso::issuer), isAllowedIssuer, " must be an https:// address (http:// only on loopback)"),
       "the provider (https://, or http:// on loopback)"},
      {"oidc-client-id", "ID", "", Room::sso, text(at(&O::sso, &Sso::clientId)), "this service's client at the provider"},
      {"oidc-client-secret-file", "FILE", "", Room::sso, text(at(&O::sso, &Sso::clientSecretFile)),
       "the client secret, read from FILE"},
      {"oidc-groups-claim", "NAME", "groups", Room::sso, text(at(&O::sso, &Sso::groupsClaim)),
       "the ID token's claim with the groups"},
      {"oidc-admin-group", "NAME", "", Room::sso, text(at(&O::sso, &Sso::adminGroup)),
       "members sign in to the desk as admin"},
      {"oidc-desk-group", "NAME", "", Room::sso, text(at(&O::sso, &Sso::deskGroup)),
       "members sign in to the desk as desk; members of neither group are refused"},
      {"oidc-kiosk-group", "NAME", "", Room::sso, text(at(&O::sso, &Sso::kioskGroup)),
       "members sign in as the self check-in kiosk"},
      {"oidc-host-claim", "NAME", "email", Room::sso, text(at(&O::sso, &Sso::hostClaim)),
       "the ID token's claim matched to a member's email for the host page"},
      {"oidc-display-name", "TEXT", "single sign-on", Room::sso, text(at(&O::sso, &Sso::displayName)),
       "the provider's name on the login form"},
      {"oidc-ca-file", "FILE", "the system's", Room::sso, text(at(&O::sso, &Sso::caFile)),
       "PEM CA certificates the provider's certificate must chain to"},
      // clang-format on
  };
}

// Each room's heading in --help; the service's options come first, under none.
const char* roomHeading(Room room) {
  switch (room) {
    case Room::service:
      return "";
    case Room::notifier:
      return "The notifiers:\n";
    case Room::desk:
      return "The front desk:\n";
    case Room::visits:
      return "Visits:\n";
    case Room::alerts:
      return "Alerts by chat and email:\n";
    case Room::directory:
      return "The staff directory (LDAP), read by directory-sync, by the desk page's Sync now\n"
             "and every --ldap-sync-minutes:\n";
    case Room::sso:
      return "Single sign-on with OpenID Connect (the desk at /sso/desk, hosts at /sso/me;\n"
             "the provider must allow the redirect URI <--public-url>sso/callback):\n";
  }
  return "";
}

constexpr std::size_t helpColumn = 27;
constexpr std::size_t lineWidth = 80;

// Words of text from column helpColumn to lineWidth, each line ended.
std::string wrapped(const std::string& text) {
  std::string out;
  std::size_t column = helpColumn;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find(' ', at);
    if (end == std::string::npos) end = text.size();
    std::string word = text.substr(at, end - at);
    if (column > helpColumn && column + 1 + word.size() > lineWidth) {
      out += "\n" + std::string(helpColumn, ' ');
      column = helpColumn;
    }
    if (column > helpColumn) {
      out += ' ';
      ++column;
    }
    out += word;
    column += word.size();
    at = end + 1;
  }
  return out + "\n";
}

std::string helpText(const OptionRow& row) {
  std::string help = row.help;
  if (row.byDefault[0] != '\0') help += std::string("; default ") + row.byDefault;
  return help;
}

// A Markdown table cell: "|" would end it, even inside `code`.
std::string tableCell(std::string text) {
  for (std::size_t bar = text.find('|'); bar != std::string::npos; bar = text.find('|', bar + 2))
    text.replace(bar, 1, "\\|");
  return text;
}

}  // namespace

const std::vector<OptionRow>& optionTable() {
  static const std::vector<OptionRow> table = makeTable();
  return table;
}

const OptionRow* findOption(const std::string& dashedName) {
  if (dashedName.rfind("--", 0) != 0) return nullptr;
  for (const OptionRow& row : optionTable()) {
    if (dashedName.compare(2, std::string::npos, row.name) == 0) return &row;
  }
  return nullptr;
}

std::string optionUsage() {
  std::string usage;
  for (Room room :
       {Room::service, Room::notifier, Room::desk, Room::visits, Room::alerts, Room::directory, Room::sso}) {
    if (room != Room::service) usage += std::string("\n") + roomHeading(room);
    for (const OptionRow& row : optionTable()) {
      if (row.room != room) continue;
      std::string head = std::string("  --") + row.name + (row.isFlag() ? "" : std::string(" ") + row.value);
      usage += head.size() + 1 < helpColumn ? head + std::string(helpColumn - head.size(), ' ')
                                            : head + "\n" + std::string(helpColumn, ' ');
      usage += wrapped(helpText(row));
    }
  }
  return usage;
}

std::string optionMarkdownTable() {
  std::string table = "| Option | Default | What it does |\n|---|---|---|\n";
  for (const OptionRow& row : optionTable()) {
    std::string name = std::string("`--") + row.name + (row.isFlag() ? "" : std::string(" ") + row.value) + "`";
    std::string byDefault = row.byDefault[0] == '\0' ? "" : std::string("`") + row.byDefault + "`";
    table += "| " + tableCell(name) + " | " + tableCell(byDefault) + " | " + tableCell(row.help) + " |\n";
  }
  return table;
}
