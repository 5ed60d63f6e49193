#include "log/service_log.h"

#include <cstdio>
#include <mutex>
#include <unordered_map>

#include "text/utf8.h"
#include "text/log_stamp.h"

namespace {

constexpr std::int64_t minuteMs = 60LL * 1000;
// Beyond this many keys those older than a minute are dropped; while it is
// still full, further keys go unlogged rather than grow the map without bound.
constexpr std::size_t pruneAboveKeys = 4096;
constexpr std::size_t maxLineBytes = 1000;

std::mutex logMutex;
std::unordered_map<std::string, std::int64_t> lastLogged;

// Control characters (C0, DEL, C1 as a byte or a code point) written as
// \xHH, so that no text from a client or a directory forges a line or
// drives the terminal that shows the log.
std::string printable(const std::string& line) { return escapedControls(line.substr(0, maxLineBytes)); }

void pruneOld(std::int64_t nowMs) {
  for (auto entry = lastLogged.begin(); entry != lastLogged.end();) {
    entry = nowMs - entry->second >= minuteMs ? lastLogged.erase(entry) : std::next(entry);
  }
}

}  // namespace

void logEvent(const std::string& line) {
  std::string text = logStamp() + "vestibra-reception: " + printable(line) + "\n";
  std::fputs(text.c_str(), stderr);  // NOLINT(cert-err33-c): nowhere left to report to
}

bool logEventOncePerMinute(const std::string& key, const std::string& line, std::int64_t nowMs) {
  {
    std::lock_guard<std::mutex> lock(logMutex);
    if (lastLogged.size() >= pruneAboveKeys) pruneOld(nowMs);
    auto found = lastLogged.find(key);
    if (found != lastLogged.end() && nowMs - found->second < minuteMs) return false;
    if (found == lastLogged.end() && lastLogged.size() >= pruneAboveKeys) return false;
    lastLogged[key] = nowMs;
  }
  logEvent(line);
  return true;
}

void forgetLoggedKeys() {
  std::lock_guard<std::mutex> lock(logMutex);
  lastLogged.clear();
}

void logRefusal(const std::string& address, int status, const std::string& reason, std::int64_t nowMs,
                const std::string& detail) {
  std::string line = "refused " + std::to_string(status) + " from " + address + ": " + reason;
  logEventOncePerMinute(address + " " + std::to_string(status) + " " + reason, detail.empty() ? line : line + " " + detail,
                        nowMs);
}
