#include "store/health.h"

#include <cstdint>

#include "store/database.h"
#include "store/schema.h"

DatabaseHealth databaseHealth() {
  if (!databaseIsOpen()) return {false, "the database is not open"};
  ReadSession session;
  // A table every version has: the read itself is the check.
  Statement read = session.prepare("SELECT count(*) FROM poll_revision");
  if (!read.ok() || read.step() != SQLITE_ROW) return {false, "the database does not answer"};
  std::int64_t version = 0;
  if (!storedSchemaVersion(session, version)) return {false, "the schema version cannot be read"};
  // A newer migration only adds to this schema (a rolling upgrade runs both
  // side by side); a database without this service's lacks what it writes.
  if (version < serviceSchemaVersion()) {
    return {false, "the schema is at version " + std::to_string(version) + ", older than this service's " +
                       std::to_string(serviceSchemaVersion())};
  }
  return {true, ""};
}
