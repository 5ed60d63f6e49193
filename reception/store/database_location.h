// Where --database points: a SQLite file (the default) or a PostgreSQL
// server given by a postgresql:// (or postgres://) URI.
#pragma once

#include <string>

// The location as it may be logged: a URI without the password it may carry
// (user:password@ or a password= parameter).
inline std::string printableLocation(const std::string& location) {
  if (location.rfind("postgresql://", 0) != 0 && location.rfind("postgres://", 0) != 0) return location;
  std::string shown = location;
  std::size_t start = shown.find("://") + 3;
  std::size_t at = shown.find('@', start);
  std::size_t colon = shown.find(':', start);
  if (at != std::string::npos && colon < at && shown.find('/', start) > at) shown.replace(colon + 1, at - colon - 1, "***");
  for (std::size_t found = shown.find("password="); found != std::string::npos; found = shown.find("password=", found + 1)) {
    std::size_t end = shown.find('&', found);
    shown.replace(found + 9, (end == std::string::npos ? shown.size() : end) - found - 9, "***");
  }
  return shown;
}

inline bool isPostgresLocation(const std::string& location) {
  return location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0;
}
