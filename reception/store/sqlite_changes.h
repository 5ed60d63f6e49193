// What other processes commit to the same SQLite file (a second service,
// desk-user, directory-sync, erase-visitor): one thread looks at PRAGMA
// data_version on a read connection of its own every lookIntervalMs (a look
// at the WAL's index in shared memory, no table read) and tells
// store/data_changes when it moved. At each look it also tells again the
// listeners that could not follow. This process's own commits move it too:
// they were told at their commit already, and a second telling finds
// nothing new.
#pragma once

constexpr int sqliteLookIntervalMs = 200;

// Starts (or restarts) watching the database now open; stopped by
// stopFileWatch. Without shared (a database in memory, which no other
// process can open) it only tells the lagging listeners again.
void startFileWatch(bool shared);
void stopFileWatch();
