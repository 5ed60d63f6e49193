#include "config/privileges.h"

#include <fcntl.h>
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

namespace {

std::vector<std::string> databaseFiles(const std::string& databasePath) {
  return {databasePath, databasePath + "-wal", databasePath + "-shm"};
}

}  // namespace

std::string refuseLinkedDatabase(const std::string& databasePath) {
  for (const std::string& path : databaseFiles(databasePath)) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
      return "the database file " + path +
             " is a symbolic link; the service keeps its records only in a file of its own (replace the link with the file)";
    }
  }
  return "";
}

void keepDatabasePrivate(const std::string& databasePath) {
  for (const std::string& path : databaseFiles(databasePath)) {
    // Opened without following a link, and changed through the descriptor:
    // what is checked is what is changed.
    int file = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (file < 0) continue;
    struct stat status {};
    if (::fstat(file, &status) == 0 && S_ISREG(status.st_mode) && (status.st_mode & 077) != 0) {
      ::fchmod(file, status.st_mode & 0700);
    }
    ::close(file);
  }
}
