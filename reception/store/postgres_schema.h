// The service's schema on PostgreSQL: its migrations applied under an
// advisory lock (two instances may start at once), refused when the
// database was written by a newer version or holds another program's tables.
#pragma once

#include <string>

// On the open PostgreSQL database; "" or why it cannot be used.
std::string configurePostgres();
