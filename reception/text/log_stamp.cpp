#include "text/log_stamp.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

bool stderrIsJournal() {
  struct stat status {};
  if (::fstat(STDERR_FILENO, &status) != 0) return false;
  return namesJournalStream(std::getenv("JOURNAL_STREAM"), static_cast<std::uint64_t>(status.st_dev),
                            static_cast<std::uint64_t>(status.st_ino));
}

}  // namespace

std::string logStampAt(std::int64_t ms) {
  std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm utc{};
  if (::gmtime_r(&seconds, &utc) == nullptr) return "";
  char text[96] = "";  // room for any value the fields may hold
  int written = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ ", utc.tm_year + 1900,
                              utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(ms % 1000));
  return written > 0 ? text : "";
}

bool namesJournalStream(const char* journalStream, std::uint64_t device, std::uint64_t inode) {
  if (journalStream == nullptr) return false;
  unsigned long long namedDevice = 0;
  unsigned long long namedInode = 0;
  char rest = 0;
  // NOLINTNEXTLINE(cert-err34-c): the count of fields read is checked
  if (std::sscanf(journalStream, "%llu:%llu%c", &namedDevice, &namedInode, &rest) != 2) return false;
  return namedDevice == device && namedInode == inode;
}

std::string logStamp() {
  static const bool journal = stderrIsJournal();  // decided once: the stream does not change
  if (journal) return "";
  auto now = std::chrono::system_clock::now().time_since_epoch();
  return logStampAt(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}
