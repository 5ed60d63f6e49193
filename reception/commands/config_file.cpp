#include "commands/config_file.h"

#include <fstream>
#include <iterator>
#include <sstream>

#include "text/text.h"

namespace {

constexpr std::size_t maxConfigBytes = 1 << 20;  // far beyond any real configuration
const char configOption[] = "--config";

// A '#' at the start or after white space begins a comment; inside a value
// (a file name with '#') it is kept.
std::string withoutComment(const std::string& line) {
  for (std::size_t at = 0; at < line.size(); ++at) {
    if (line[at] == '#' && (at == 0 || line[at - 1] == ' ' || line[at - 1] == '\t')) return line.substr(0, at);
  }
  return line;
}

bool isOptionName(const std::string& name) {
  if (name.empty() || name[0] == '-') return false;
  for (char c : name) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
  }
  return true;
}

// The line as one command-line argument, or an error.
std::string lineArgument(const std::string& line, std::string& argument) {
  std::size_t equals = line.find('=');
  std::string name(trimmed(line.substr(0, equals)));
  if (!isOptionName(name)) {
    return "\"" + line + "\" is not \"name = value\" with an option's long name (see --help)";
  }
  if (name == "config") return "a configuration file cannot name another with config";
  argument = "--" + name;
  if (equals != std::string::npos) argument += "=" + std::string(trimmed(line.substr(equals + 1)));
  return "";
}

std::string readWholeFile(const std::string& path, std::string& text) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return "cannot read the configuration file " + path;
  text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  if (file.bad()) return "cannot read the configuration file " + path;
  if (text.size() > maxConfigBytes) return "the configuration file " + path + " is larger than 1 MiB";
  return "";
}

std::string lineError(const std::string& fileName, int number, const std::string& error) {
  std::string message = fileName;
  message += ", line ";
  message += std::to_string(number);
  message += ": ";
  message += error;
  return message;
}

// Takes --config FILE out of arguments; "" or a message.
std::string takeConfigOption(std::vector<std::string>& arguments, std::string& path) {
  const std::string inlinePrefix = std::string(configOption) + "=";
  for (std::size_t at = 0; at < arguments.size(); ++at) {
    std::size_t count = 1;
    if (arguments[at] == configOption) {
      if (at + 1 >= arguments.size()) return std::string(configOption) + " needs a value";
      path = arguments[at + 1];
      count = 2;
    } else if (arguments[at].rfind(inlinePrefix, 0) == 0) {
      path = arguments[at].substr(inlinePrefix.size());
    } else {
      continue;
    }
    if (path.empty()) return std::string(configOption) + " needs a file name";
    arguments.erase(arguments.begin() + static_cast<std::ptrdiff_t>(at),
                    arguments.begin() + static_cast<std::ptrdiff_t>(at + count));
    --at;
  }
  return "";
}

}  // namespace

std::string applyConfigText(const std::string& text, const std::string& fileName, ReceptionOptions& options) {
  std::istringstream lines(text.rfind("\xEF\xBB\xBF", 0) == 0 ? text.substr(3) : text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    std::string content(trimmed(withoutComment(line)));
    if (content.empty()) continue;
    std::string argument;
    std::string error = lineArgument(content, argument);
    if (error.empty()) error = applyArguments({argument}, options);
    if (!error.empty()) return lineError(fileName, number, error);
  }
  return "";
}

std::string parseOptions(const std::vector<std::string>& arguments, ReceptionOptions& options) {
  std::vector<std::string> rest = arguments;
  std::string path;
  std::string error = takeConfigOption(rest, path);
  if (!error.empty()) return error;
  if (!path.empty()) {
    std::string text;
    error = readWholeFile(path, text);
    if (error.empty()) error = applyConfigText(text, path, options);
    if (!error.empty()) return error;
  }
  return parseCommandLine(rest, options);
}
