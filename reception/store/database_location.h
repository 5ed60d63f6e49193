// Where --database points: a SQLite file (the default) or a PostgreSQL
// server given by a postgresql:// (or postgres://) URI.
#pragma once

#include <string>

inline bool isPostgresLocation(const std::string& location) {
  return location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0;
}
