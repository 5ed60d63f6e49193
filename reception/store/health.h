// Whether this process can serve, for load balancers: a read of the database
// answers and the schema is at least at the version this service writes. Reads only,
// so it never waits for the write lock.
#pragma once

#include <string>

struct DatabaseHealth {
  bool ok = false;
  std::string reason;  // why not, in a few words; "" when ok
};

DatabaseHealth databaseHealth();
