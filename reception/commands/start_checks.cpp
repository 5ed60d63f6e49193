#include "commands/start_checks.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <utility>
#include <vector>

#include "http/host_addresses.h"

namespace {

// "" or "--option FILE cannot be read as the service's user: reason".
std::string unreadable(const std::string& option, const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (file) return "";
  return option + " " + path + " cannot be read by the user the service runs as: " + std::strerror(errno);
}

std::string lowerCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

// "host[:port]" of an http(s) URL, without user information.
std::string authorityOf(const std::string& url) {
  std::size_t start = url.find("://") + 3;
  std::string authority = url.substr(start, url.find_first_of("/?#", start) - start);
  std::size_t user = authority.rfind('@');
  return user == std::string::npos ? authority : authority.substr(user + 1);
}

}  // namespace

std::string checkReadableFiles(const ReceptionOptions& options) {
  const std::vector<std::pair<const char*, const std::string*>> files = {
      {"--key-file", &options.keyFile},
      {"--database-password-file", &options.databasePasswordFile},
      {"--smtp-password-file", &options.alerts.smtpPasswordFile},
      {"--smtp-ca-file", &options.alerts.smtpCaFile},
      {"--ldap-bind-password-file", &options.directory.passwordFile},
      {"--ldap-ca-file", &options.directory.caFile},
  };
  for (const auto& [option, path] : files) {
    if (path->empty()) continue;
    std::string error = unreadable(option, *path);
    if (!error.empty()) return error;
  }
  return "";
}

std::string readKeyFile(const std::string& path, std::string& key) {
  std::string error = unreadable("--key-file", path);
  if (!error.empty()) return error;
  std::ifstream file(path, std::ios::binary);
  std::getline(file, key);
  key.erase(key.find_last_not_of(" \t\r") + 1);
  key.erase(0, key.find_first_not_of(" \t"));
  if (!isKey(key)) return "--key-file " + path + ": its first line is not a key (1 to 128 letters, digits or -._~)";
  return "";
}

std::string machineFullName() {
  std::string name = fullyQualifiedHostName();
  if (!name.empty()) return name;
  char shortName[256] = {};
  return ::gethostname(shortName, sizeof shortName - 1) == 0 ? shortName : "";
}

std::string defaultPublicUrl(const std::string& machineName, std::uint16_t plainPort, std::uint16_t tlsPort) {
  std::string name = machineName.empty() ? "localhost" : machineName;
  if (tlsPort != 0) return "https://" + name + (tlsPort == 443 ? "" : ":" + std::to_string(tlsPort)) + "/";
  return "http://" + name + (plainPort == 80 ? "" : ":" + std::to_string(plainPort)) + "/";
}

std::string checkPublicUrl(const std::string& publicUrl, DeskOrigin& origin, std::string& warning) {
  warning.clear();
  std::string authority = lowerCase(authorityOf(publicUrl));
  if (authority.empty()) return "--public-url " + publicUrl + " names no host";
  std::string host = authority.front() == '[' ? authority.substr(0, authority.find(']') + 1)
                                              : authority.substr(0, authority.find(':'));
  bool tls = publicUrl.rfind("https://", 0) == 0;
  // The port a browser puts in Host: none for the scheme's own.
  std::string port = authority.size() > host.size() ? authority.substr(host.size() + 1) : "";
  if (port == (tls ? "443" : "80")) port.clear();
  std::string hostHeader = port.empty() ? host : host + ":" + port;
  if (isServiceHost(hostHeader, origin)) return "";
  if (!isServiceHost(host, origin)) {
    origin.hostNames.push_back(host);
    warning = "--public-url names " + host + ", which is not one of this machine's names; the desk answers to it too. "
              "Say so with \"host-name = " + host + "\" (--host-name " + host + ") if it is meant";
  }
  if (!isServiceHost(hostHeader, origin)) {
    return "--public-url " + publicUrl + ": the desk would refuse its reply links with 421, since the service does not "
           "listen on port " + port + " (give the port a browser uses to reach this service, or leave it out; behind "
           "a load balancer on that port, say so with --host-name " + hostHeader + ")";
  }
  return "";
}
