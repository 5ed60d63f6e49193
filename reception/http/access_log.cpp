#include "http/access_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string_view>

#include "text/utf8.h"

namespace {

std::mutex logMutex;
std::string logPath;
int logFile = -1;

// Inside "...": a quote and a backslash escaped as \" \\, control
// characters (C0, DEL, C1) and bytes outside UTF-8 as \xHH.
std::string quotedField(std::string_view text) {
  if (text.empty()) return "\"-\"";
  return "\"" + escapedControls(text, "\"\\") + "\"";
}

// A reply link's path: its token acknowledges a guest, so only its first
// characters are logged (enough to tell two apart).
constexpr std::string_view replyLinkPrefix = "/ack/";
constexpr std::size_t shownTokenChars = 4;

std::string maskedPath(std::string_view path) {
  if (path.substr(0, replyLinkPrefix.size()) != replyLinkPrefix) return std::string(path);
  std::string_view token = path.substr(replyLinkPrefix.size());
  if (token.size() <= shownTokenChars) return std::string(replyLinkPrefix) + "-";
  return std::string(replyLinkPrefix) + std::string(token.substr(0, shownTokenChars)) + "-";
}

// The value of every "key" query parameter replaced, so a log shared with
// others does not hand them the notifiers' access key; a reply link's token
// likewise.
std::string maskedTarget(const std::string& target) {
  std::size_t question = target.find('?');
  std::string masked = maskedPath(std::string_view(target).substr(0, question));
  if (question == std::string::npos) return masked;
  masked += '?';
  std::string_view query = std::string_view(target).substr(question + 1);
  while (true) {
    std::size_t end = query.find('&');
    std::string_view pair = query.substr(0, end);
    masked += pair.substr(0, 4) == "key=" ? std::string_view("key=-") : pair;
    if (end == std::string_view::npos) break;
    masked += '&';
    query.remove_prefix(end + 1);
  }
  return masked;
}

// A Referer is a whole URL: its path and query are masked as a target's.
std::string maskedReferer(const std::string& referer) {
  std::size_t scheme = referer.find("://");
  std::size_t path = referer.find('/', scheme == std::string::npos ? 0 : scheme + 3);
  if (path == std::string::npos) return referer;
  return referer.substr(0, path) + maskedTarget(referer.substr(path));
}

// "[07/Dec/2026:17:40:41 +0000]" in local time.
std::string logTime(std::int64_t timeMs) {
  std::time_t seconds = static_cast<std::time_t>(timeMs / 1000);
  std::tm local{};
  char text[40] = "";
  if (::localtime_r(&seconds, &local) == nullptr) return "[-]";
  std::size_t length = std::strftime(text, sizeof text, "[%d/%b/%Y:%H:%M:%S %z]", &local);
  return std::string(text, length);
}

int openForAppend(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
}

}  // namespace

std::string accessLogLine(const AccessEntry& entry) {
  std::string request = entry.method + " " + maskedTarget(entry.target) + " " + entry.protocol;
  std::string bytes = entry.bytes == 0 ? "-" : std::to_string(entry.bytes);
  return (entry.client.empty() ? "-" : entry.client) + " - - " + logTime(entry.timeMs) + " " + quotedField(request) +
         " " + std::to_string(entry.status) + " " + bytes + " " + quotedField(maskedReferer(entry.referer)) + " " +
         quotedField(entry.userAgent) + "\n";
}

bool openAccessLog(const std::string& path, std::string& error) {
  int file = openForAppend(path);
  if (file < 0) {
    error = "cannot open the access log " + path + ": " + std::strerror(errno);
    return false;
  }
  std::lock_guard<std::mutex> lock(logMutex);
  if (logFile >= 0) ::close(logFile);
  logFile = file;
  logPath = path;
  return true;
}

void reopenAccessLog() {
  std::lock_guard<std::mutex> lock(logMutex);
  if (logFile < 0) return;
  int file = openForAppend(logPath);
  if (file < 0) return;
  ::close(logFile);
  logFile = file;
}

void closeAccessLog() {
  std::lock_guard<std::mutex> lock(logMutex);
  if (logFile >= 0) ::close(logFile);
  logFile = -1;
  logPath.clear();
}

bool accessLogOpen() {
  std::lock_guard<std::mutex> lock(logMutex);
  return logFile >= 0;
}

void writeAccessLog(const AccessEntry& entry) {
  std::string line = accessLogLine(entry);
  std::lock_guard<std::mutex> lock(logMutex);
  if (logFile < 0) return;
  // One write per line: with O_APPEND, lines from other threads never interleave.
  ssize_t written = ::write(logFile, line.data(), line.size());
  (void)written;  // a full disk must not stop the service answering
}
