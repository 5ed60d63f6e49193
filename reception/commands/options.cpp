#include "commands/options.h"

#include "commands/option_table.h"

namespace {

const char receptionUsageFooter[] =
    "\n"
    "Desk accounts: vestibra-reception desk-user add|list|remove|password ... (see\n"
    "vestibra-reception desk-user --help)\n"
    "A one-shot staff sync: vestibra-reception directory-sync [--config FILE]\n"
    "[--database FILE] [--dry-run] [--force] [--ldap-... options]\n"
    "Backup: vestibra-reception backup|restore FILE [--config FILE] [--database FILE]\n"
    "Erasing a visitor: vestibra-reception erase-visitor --name NAME | --email EMAIL\n"
    "[--config FILE] [--database FILE]\n";

}  // namespace

std::string receptionUsage() {
  return std::string("Usage: vestibra-reception [options]\n"
                     "The reception service that Vestibra notifiers poll, with the front desk at /.\n"
                     "\n") +
         optionUsage() + receptionUsageFooter;
}

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

// One option by its row: "" or a message naming it.
std::string applyOption(const std::string& name, const std::string& value, bool inlineValue,
                        const std::vector<std::string>& arguments, std::size_t& at, ReceptionOptions& options) {
  const OptionRow* row = findOption(name);
  if (row == nullptr || !row->rule || (row->isFlag() && inlineValue)) {
    return "unknown option \"" + arguments[at] + "\" (see --help)";
  }
  if (row->isFlag() || inlineValue) return row->rule(name, value, options);
  if (at + 1 >= arguments.size()) return name + " needs a value";
  return row->rule(name, arguments[++at], options);
}

}  // namespace

std::string applyArguments(const std::vector<std::string>& arguments, ReceptionOptions& options) {
  for (std::size_t at = 0; at < arguments.size(); ++at) {
    std::string name = arguments[at];
    std::size_t equals = name.find('=');
    bool inlineValue = name.rfind("--", 0) == 0 && equals != std::string::npos;
    std::string value = inlineValue ? name.substr(equals + 1) : "";
    if (inlineValue) name.resize(equals);
    if (name == "-h" || name == "--help") {
      options.help = true;
      continue;
    }
    std::string error = applyOption(name, value, inlineValue, arguments, at, options);
    if (!error.empty()) return error;
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
