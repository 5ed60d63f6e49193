#include "text/local_time.h"

#include <ctime>

std::string localTimeText(std::int64_t ms, const char* format) {
  std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm local{};
  if (localtime_r(&seconds, &local) == nullptr) return "";
  char text[64];
  if (std::strftime(text, sizeof text, format, &local) == 0) return "";
  return text;
}

std::string isoTimeWithOffset(std::int64_t ms) {
  std::string iso = localTimeText(ms, "%Y-%m-%dT%H:%M:%S%z");
  if (iso.size() >= 5) iso.insert(iso.size() - 2, ":");
  return iso;
}
