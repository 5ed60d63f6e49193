#include "settings_fs.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>

bool syncFile(std::FILE* file) { return fsync(fileno(file)) == 0; }

// rename(2) replaces an existing target atomically.
bool replaceFile(const char* from, const char* to) { return std::rename(from, to) == 0; }

void syncDirectoryOf(const char* filePath) {
  std::string path(filePath);
  std::size_t slash = path.rfind('/');
  std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  int descriptor = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) return;
  // The rename has happened either way; a failed sync only makes it less durable.
  fsync(descriptor);
  close(descriptor);
}

unsigned long currentProcessId() { return static_cast<unsigned long>(getpid()); }
