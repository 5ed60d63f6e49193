// The access log: one line per request in the combined log format, for the
// log tools administrators already have. The notifiers' key never reaches
// it; the file is reopened on SIGHUP, after logrotate has moved it.
#pragma once

#include <cstdint>
#include <string>

struct AccessEntry {
  std::string client;  // the peer's address
  std::int64_t timeMs = 0;
  std::string method;
  std::string target;  // as received
  std::string protocol;
  int status = 0;
  std::size_t bytes = 0;
  std::string referer;  // "" when absent
  std::string userAgent;
};

// Pure: the entry's line, ending in "\n", with the target's key= value and
// a reply link's token (in the target and the Referer) masked, and quotes
// and control bytes in quoted fields escaped.
std::string accessLogLine(const AccessEntry& entry);

// Opens (appending, creating it 0640) the file entries go to; false with error set.
bool openAccessLog(const std::string& path, std::string& error);
// Opens the same path again, so a rotated file is let go; the old one is
// kept when the new one cannot be opened.
void reopenAccessLog();
void closeAccessLog();
bool accessLogOpen();
// Appends the entry's line when a log is open.
void writeAccessLog(const AccessEntry& entry);
