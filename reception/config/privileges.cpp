#include "config/privileges.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

std::string dropPrivileges(const std::string& user) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  int code = ::getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found);
  if (found == nullptr) {
    return code == 0 ? "--user: there is no user named " + user
                     : "--user: cannot look up " + user + ": " + std::strerror(code);
  }
  if (::geteuid() != 0) {
    return ::geteuid() == found->pw_uid ? "" : "--user " + user + " needs the service to be started as root";
  }
  // Groups first: once the user id changes they can no longer be set.
  if (::initgroups(found->pw_name, found->pw_gid) != 0 || ::setgid(found->pw_gid) != 0 ||
      ::setuid(found->pw_uid) != 0) {
    return "cannot switch to the user " + user + ": " + std::strerror(errno);
  }
  if (::setuid(0) == 0) return "cannot switch to the user " + user + ": root privileges could be regained";
  return "";
}

void keepDatabasePrivate(const std::string& databasePath) {
  for (const std::string& path : {databasePath, databasePath + "-wal", databasePath + "-shm"}) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) || (status.st_mode & 077) == 0) continue;
    ::chmod(path.c_str(), status.st_mode & 0700);
  }
}
