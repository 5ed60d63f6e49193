// Whether this process can serve, for load balancers: a read of the database
// answers and its highest migration is at least this service's. Reads only,
// so it never waits for the write lock.
#pragma once

#include <string>

struct DatabaseHealth {
  bool ok = false;
  std::string reason;  // why not, in a few words; "" when ok
};

DatabaseHealth databaseHealth();
