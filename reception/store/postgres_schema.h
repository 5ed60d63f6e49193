// The service's schema on PostgreSQL: made or brought up to date under an
// advisory lock (two instances may start at once), refused when the
// database was written by a newer version or holds another program's tables.
#pragma once

#include <cstdint>
#include <string>

// On the open PostgreSQL database; "" or why it cannot be used.
std::string configurePostgres(std::int64_t version);
