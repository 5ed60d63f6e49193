#include "commands/options.h"

#include "http/forwarded_for.h"
#include "text/text.h"

const char receptionUsage[] =
    "Usage: vestibra-reception [options]\n"
    "The reception service that Vestibra notifiers poll, with the front desk page at /.\n"
    "\n"
    "  --listen ADDRESS[:PORT]  IPv4 address (or localhost, or * for all) and port to\n"
    "                           listen on; default 127.0.0.1:80. Notifiers always\n"
    "                           connect to port 80; port 0 picks a free port.\n"
    "  --port PORT              the port alone\n"
    "  --database FILE|URI      SQLite database file (default reception.db), or a\n"
    "                           PostgreSQL database: postgresql://USER@HOST/NAME\n"
    "  --database-password-file FILE\n"
    "                           PostgreSQL: the password's file (else libpq's own\n"
    "                           PGPASSFILE or ~/.pgpass)\n"
    "  --key KEY                access key notifiers send (1 to 128 letters, digits\n"
    "                           or -._~); default the notifiers' compiled-in key\n"
    "  --key-file FILE          read the access key from the file's first line (the\n"
    "                           package keeps it in /etc/vestibra/notifier.key)\n"
    "  --code-page NAME         8-bit code page of the notifiers' texts, as iconv\n"
    "                           names it; default WINDOWS-1252\n"
    "  --max-event-streams N    hosts' pages open at once (default 5000); beyond: 503\n"
    "  --notifier-keys shared|personal|both\n"
    "                           which keys notifiers may use: the installation's one\n"
    "                           key, each host's personal key, or both (the default)\n"
    "  --max-connections-per-address N\n"
    "                           connections one client address may hold at once;\n"
    "                           default 32\n"
    "  --trusted-proxy ADDRESS  a load balancer in front (repeatable): requests from\n"
    "                           it are taken to come from the address it appends\n"
    "                           to X-Forwarded-For, for throttling and the logs\n"
    "  --max-waiting-per-host N guests that may wait for one member of staff at\n"
    "                           once (more are refused); default 50\n"
    "  --desk-writes-per-second N\n"
    "                           changes one desk account may make per second, with\n"
    "                           bursts of six seconds' worth; more are answered 429;\n"
    "                           default 5\n"
    "  --host-writes-per-second N\n"
    "                           changes one host may make per second on their own\n"
    "                           page, with bursts of five seconds' worth; default 2\n"
    "  --invitation-mails-per-host-per-day N\n"
    "                           invitations with a guest's email one host may make in\n"
    "                           24 hours; more are refused; default 50\n"
    "  --escalate-after-unseen SECONDS\n"
    "                           a guest not yet on the host's screen after this long\n"
    "                           stands out on the desk page; default 60\n"
    "  --escalate-after-unacknowledged SECONDS\n"
    "                           the same for a guest on screen but not acknowledged;\n"
    "                           default 300\n"
    "  --retention-days DAYS    delete guests finished more than DAYS days ago, at\n"
    "                           start-up and daily; 0 keeps them forever; default 30\n"
    "  --sign-out-at HH:MM      sign out every visit still on site at this local time\n"
    "                           each day; off keeps them; default 23:59\n"
    "  --house-rules-file FILE  UTF-8 text the kiosk asks each guest to accept\n"
    "  --visitor-instructions-file FILE\n"
    "                           UTF-8 arrival text for the invitation mails\n"
    "  --host-name NAME[:PORT]  another name the desk answers to (repeatable); with a\n"
    "                           port, that Host exactly (a load balancer's port);\n"
    "                           always localhost, 127.0.0.1, [::1], the listen\n"
    "                           address and this machine's host name\n"
    "  --tls-cert FILE          PEM certificate (chain) for HTTPS; with --tls-key, the\n"
    "  --tls-key FILE           desk is served over HTTPS and plain HTTP keeps only\n"
    "                           the notifier API\n"
    "  --tls-listen ADDRESS[:PORT]  the HTTPS listener; default the listen address, port 443\n"
    "  --metrics-listen ADDRESS:PORT\n"
    "                           serve GET /metrics (Prometheus text format) there,\n"
    "                           without a desk session: use a loopback or management\n"
    "                           address; default off\n"
    "  --user NAME              when started as root: bind the ports, then run as this\n"
    "                           user and its group\n"
    "  --access-log FILE        one line per request in the combined log format (the\n"
    "                           notifiers' key masked); reopened on SIGHUP for log\n"
    "                           rotation\n"
    "  --notifier-msi FILE      the notifiers' installer offered at\n"
    "                           /downloads/vestibra-win64.msi; default\n"
    "                           /usr/share/vestibra-reception/vestibra-win64.msi (none\n"
    "                           offered when the file does not exist)\n"
    "  --demo                   add a small demo staff directory if there are no staff,\n"
    "                           and the admin account reception with a new password\n"
    "  --smtp-url URL           smtp://HOST[:PORT] or smtps://HOST[:PORT]: the mail\n"
    "                           server for alerts by email\n"
    "  --smtp-tls starttls|none with smtp://: require STARTTLS (the default), or\n"
    "                           none for a relay on loopback\n"
    "  --smtp-user NAME         log in to the mail server as NAME, with the password\n"
    "  --smtp-password-file FILE  read from FILE\n"
    "  --smtp-from ADDRESS      the sender of alert mail (needed with --smtp-url)\n"
    "  --smtp-ca-file FILE      PEM certificates to trust for the mail server\n"
    "  --smtp-allow-plaintext   with --smtp-tls none, send the SMTP password in clear\n"
    "                           to a mail server that is not on this machine\n"
    "                           (refused otherwise)\n"
    "  --team-webhook URL       the team's chat webhook, told of guests not acknowledged\n"
    "  --team-email ADDRESS     the team's address, told the same by email\n"
    "  --public-url URL         the base of the reply links in alerts; default\n"
    "                           http://<this machine's host name>/, or https:// on\n"
    "                           the HTTPS port when HTTPS is on\n"
    "  --alert-allow-loopback   let push addresses on this machine (loopback) receive\n"
    "                           alerts: for tests and relays on the same machine; the\n"
    "                           service's own listeners stay refused\n"
    "  --alert-claim-seconds S  how long a message being sent is held by its sender;\n"
    "                           after a crash mid-send another instance sends it again\n"
    "                           (same Idempotency-Key) once this runs out; default 60\n"
    "  --config FILE            read options from FILE first: one \"name = value\" per\n"
    "                           line with the long names above (\"demo\" alone for\n"
    "                           --demo), # comments; the command line wins\n"
    "  --help                   show this text\n"
    "\n"
    "Desk accounts: vestibra-reception desk-user add|list|remove|password ... (see\n"
    "vestibra-reception desk-user --help)\n"
    "A one-shot staff sync: vestibra-reception directory-sync [--config FILE]\n"
    "[--database FILE] [--dry-run] [--force] [--ldap-... options]\n"
    "Backup: vestibra-reception backup|restore FILE [--config FILE] [--database FILE]\n"
    "Erasing a visitor: vestibra-reception erase-visitor --name NAME | --email EMAIL\n"
    "[--config FILE] [--database FILE]\n";

namespace {

// A whole number from low to high, in decimal digits only.
bool parseWhole(const std::string& text, long long low, long long high, long long& value) {
  std::int64_t parsed = 0;
  if (!parseDecimal(text, 9, parsed)) return false;
  value = parsed;
  return value >= low && value <= high;
}

bool parsePort(const std::string& text, std::uint16_t& port) {
  long long value = 0;
  if (!parseWhole(text, 0, 65535, value)) return false;
  port = static_cast<std::uint16_t>(value);
  return true;
}

}  // namespace

// The notifiers send the key unencoded in the query, so it holds only bytes
// that need no encoding there.
bool isKey(const std::string& key) {
  if (key.empty() || key.size() > 128) return false;
  for (char c : key) {
    bool alphanumeric = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alphanumeric && c != '-' && c != '.' && c != '_' && c != '~') return false;
  }
  return true;
}

namespace {

// A whole number from low to high, for the front desk's options.
std::string applyCount(const std::string& name, const std::string& value, long long low, long long high,
                       long long& count) {
  if (parseWhole(value, low, high, count)) return "";
  return name + ": \"" + value + "\" is not a whole number from " + std::to_string(low) + " to " + std::to_string(high);
}

std::string applyFrontDesk(const std::string& name, const std::string& value, ReceptionOptions& options) {
  if (name == "--escalate-after-unseen") return applyCount(name, value, 1, 604800, options.escalateAfterUnseenSeconds);
  if (name == "--escalate-after-unacknowledged") {
    return applyCount(name, value, 1, 604800, options.escalateAfterUnacknowledgedSeconds);
  }
  return applyCount(name, value, 0, 36500, options.retentionDays);
}

bool isFrontDeskOption(const std::string& name) {
  return name == "--escalate-after-unseen" || name == "--escalate-after-unacknowledged" || name == "--retention-days";
}

// "ADDRESS[:PORT]" for --listen and --tls-listen; the port stays as it is when absent.
std::string applyEndpoint(const std::string& name, const std::string& value, const char* example, std::string& address,
                          std::uint16_t& port) {
  std::size_t colon = value.rfind(':');
  address = value.substr(0, colon);
  if (address.empty()) return name + " needs an address, for example " + example;
  if (colon != std::string::npos && !parsePort(value.substr(colon + 1), port)) {
    return name + ": \"" + value.substr(colon + 1) + "\" is not a port number (0 to 65535)";
  }
  return "";
}

std::string applyLimit(const std::string& name, const std::string& value, ReceptionOptions& options) {
  // Past 10,000 waiting guests one host's poll answer nears the notifier's size cap.
  long long most = name == "--max-waiting-per-host" ? 10000
                   : name == "--desk-writes-per-second" || name == "--host-writes-per-second" ? 1000
                                                                                              : 100000;
  long long count = 0;
  if (!parseWhole(value, 1, most, count)) return name + ": \"" + value + "\" is not a number from 1 to " + std::to_string(most);
  if (name == "--max-waiting-per-host") {
    options.maxWaitingPerHost = static_cast<int>(count);
  } else if (name == "--desk-writes-per-second") {
    options.deskWritesPerSecond = static_cast<unsigned>(count);
  } else if (name == "--host-writes-per-second") {
    options.hostWritesPerSecond = static_cast<unsigned>(count);
  } else if (name == "--invitation-mails-per-host-per-day") {
    options.invitationMailsPerHostPerDay = static_cast<unsigned>(count);
  } else if (name == "--max-event-streams") {
    options.maxEventStreams = static_cast<unsigned>(count);
  } else {
    options.maxConnectionsPerAddress = static_cast<unsigned>(count);
  }
  return "";
}

std::string applyDeskValue(const std::string& name, const std::string& value, ReceptionOptions& options) {
  if (value.empty()) return name + " needs a value";
  if (name == "--host-name") {
    options.hostNames.push_back(value);
  } else if (name == "--tls-cert") {
    options.tlsCertificate = value;
  } else if (name == "--tls-key") {
    options.tlsKey = value;
  } else if (name == "--tls-listen") {
    return applyEndpoint(name, value, "0.0.0.0:443", options.tlsAddress, options.tlsPort);
  } else if (name == "--access-log") {
    options.accessLog = value;
  } else if (name == "--notifier-msi") {
    options.notifierInstaller = value;
  } else if (name == "--trusted-proxy") {
    if (!isIpAddress(value)) return "--trusted-proxy: \"" + value + "\" is not an IP address";
    options.trustedProxies.push_back(value);
  } else {
    options.user = value;
  }
  return "";
}

bool isDeskOption(const std::string& name) {
  return name == "--host-name" || name == "--tls-cert" || name == "--tls-key" || name == "--tls-listen" ||
         name == "--user" || name == "--access-log" || name == "--notifier-msi" || name == "--trusted-proxy";
}

std::string applyValue(const std::string& name, const std::string& value, ReceptionOptions& options) {
  if (isDirectoryOption(name)) return applyDirectoryOption(name, value, options.directory);
  if (isAlertOption(name)) return applyAlertOption(name, value, options.alerts);
  if (isVisitOption(name)) return applyVisitOption(name, value, options.visits);
  if (isSsoOption(name)) return applySsoOption(name, value, options.sso);
  if (isDeskOption(name)) return applyDeskValue(name, value, options);
  if (name == "--listen") return applyEndpoint(name, value, "127.0.0.1:80", options.address, options.port);
  if (name == "--metrics-listen") {
    if (value.find(':') == std::string::npos) return "--metrics-listen needs ADDRESS:PORT, for example 127.0.0.1:9464";
    return applyEndpoint(name, value, "127.0.0.1:9464", options.metricsAddress, options.metricsPort);
  }
  if (name == "--max-connections-per-address" || name == "--max-waiting-per-host" || name == "--desk-writes-per-second" ||
      name == "--max-event-streams" || name == "--host-writes-per-second" || name == "--invitation-mails-per-host-per-day") {
    return applyLimit(name, value, options);
  }
  if (isFrontDeskOption(name)) return applyFrontDesk(name, value, options);
  if (name == "--notifier-keys") {
    options.notifierKeys = value;
    return value == "shared" || value == "personal" || value == "both" ? ""
                                                                      : "--notifier-keys is shared, personal or both";
  }
  if (name == "--port") {
    return parsePort(value, options.port) ? "" : "--port: \"" + value + "\" is not a port number (0 to 65535)";
  }
  if (name == "--database") {
    options.database = value;
    return value.empty() ? "--database needs a file name" : "";
  }
  if (name == "--database-password-file") {
    options.databasePasswordFile = value;
    return value.empty() ? "--database-password-file needs a file name" : "";
  }
  if (name == "--key") {
    options.key = value;
    options.keyFile.clear();
    return isKey(value) ? "" : "--key must be 1 to 128 letters, digits or -._~";
  }
  if (name == "--key-file") {
    options.keyFile = value;
    options.key.clear();
    return value.empty() ? "--key-file needs a file name" : "";
  }
  options.codePage = value;
  return value.empty() ? "--code-page needs a code page name" : "";
}

bool takesValue(const std::string& name) {
  return name == "--listen" || name == "--metrics-listen" || name == "--port" || name == "--database" || name == "--key" ||
         name == "--database-password-file" ||
         name == "--key-file" || name == "--code-page" || name == "--max-connections-per-address" ||
         name == "--max-waiting-per-host" || name == "--desk-writes-per-second" || name == "--max-event-streams" ||
         name == "--host-writes-per-second" || name == "--invitation-mails-per-host-per-day" ||
         name == "--notifier-keys" || isFrontDeskOption(name) ||
         isDeskOption(name) || isDirectoryOption(name) || isAlertOption(name) || isSsoOption(name) ||
         isVisitOption(name);
}

// Options without a value; false for any other name.
bool applyFlag(const std::string& name, ReceptionOptions& options) {
  if (name == "--demo") {
    options.demo = true;
  } else if (isDirectoryFlag(name)) {
    options.directory.allowPlaintext = true;
  } else if (!applyAlertFlag(name, options.alerts)) {
    return false;
  }
  return true;
}

}  // namespace

std::string applyArguments(const std::vector<std::string>& arguments, ReceptionOptions& options) {
  for (std::size_t at = 0; at < arguments.size(); ++at) {
    std::string name = arguments[at];
    std::size_t equals = name.find('=');
    bool inlineValue = name.rfind("--", 0) == 0 && equals != std::string::npos;
    std::string value = inlineValue ? name.substr(equals + 1) : "";
    if (inlineValue) name.resize(equals);
    if (name == "--help" || name == "-h") {
      options.help = true;
    } else if (!inlineValue && applyFlag(name, options)) {
      continue;
    } else if (takesValue(name)) {
      if (!inlineValue) {
        if (at + 1 >= arguments.size()) return name + " needs a value";
        value = arguments[++at];
      }
      std::string error = applyValue(name, value, options);
      if (!error.empty()) return error;
    } else {
      return "unknown option \"" + arguments[at] + "\" (see --help)";
    }
  }
  return "";
}

std::string parseCommandLine(const std::vector<std::string>& arguments, ReceptionOptions& options) {
  std::string error = applyArguments(arguments, options);
  if (!error.empty()) return error;
  if (options.tlsCertificate.empty() != options.tlsKey.empty()) return "--tls-cert and --tls-key go together";
  error = checkAlertOptions(options.alerts);
  return error.empty() ? checkSsoOptions(options.sso) : error;
}
