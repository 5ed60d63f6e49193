#include "downloads/notifier_installer.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

// Set once before the server starts, only read after.
std::string& installerBytes() {
  static std::string bytes;
  return bytes;
}

}  // namespace

std::string loadNotifierInstaller(const std::string& path) {
  installerBytes().clear();
  struct stat status {};
  if (path.empty() || (::stat(path.c_str(), &status) != 0 && errno == ENOENT)) return "";
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    return "--notifier-msi " + path + " cannot be read by the user the service runs as: " + std::strerror(errno);
  }
  installerBytes().assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  if (file.bad()) return "--notifier-msi " + path + " cannot be read";
  return "";
}

bool notifierInstallerOffered() { return !installerBytes().empty(); }

HttpResponse answerNotifierInstaller(const HttpRequest&, std::string_view) {
  HttpResponse response;
  if (!notifierInstallerOffered()) {
    response.status = 404;
    response.contentType = "text/plain; charset=utf-8";
    response.body = "The notifiers' installer is not on this server (the Debian package ships it).\n";
    return response;
  }
  response.contentType = "application/x-msi";
  response.body = installerBytes();
  response.headers = {{"Content-Disposition", "attachment; filename=\"vestibra-win64.msi\""},
                      {"Cache-Control", "no-cache"}};
  return response;
}
