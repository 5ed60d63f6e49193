// What other instances on the same PostgreSQL database commit: the schema's
// triggers NOTIFY vestibra_changes on every change to the staff, the guests
// and the host sessions, and a thread of this process LISTENs on a
// connection of its own and tells store/data_changes, as the watcher of a
// SQLite file does for other processes. The same thread tells again, at
// each of its short waits, the listeners that could not follow.
#pragma once

#include "store/postgres_connection.h"

// Starts (or restarts) listening; each announcement, and each connection
// made again (what was announced meanwhile is unknown), is a data change.
// Stopped by stopChangeListener.
void startChangeListener(const PgLocation& location);
void stopChangeListener();
