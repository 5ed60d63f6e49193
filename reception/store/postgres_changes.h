// What other instances on the same PostgreSQL database commit: the schema's
// triggers NOTIFY vestibra_changes, and a thread of this process LISTENs on a
// connection of its own, so that what is kept in memory (the poll's cache)
// and the host pages' event streams learn of it.
#pragma once

#include <cstdint>

#include "store/postgres_connection.h"

// A count that moves whenever a change was announced, or may have been
// missed (the listening connection lost and made again).
std::int64_t announcedChanges();

// Starts (or restarts) listening; each announcement moves the count and
// calls the commit listener. Stopped by stopChangeListener.
void startChangeListener(const PgLocation& location);
void stopChangeListener();
