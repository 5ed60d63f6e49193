// The one signal that the data changed. Whoever learns of a committed change
// says so here: every commit of this process (store/database, once the write
// connection is free), the watcher of a SQLite file for other processes'
// commits (store/sqlite_changes) and the LISTEN thread for other instances'
// on PostgreSQL (store/postgres_changes). Everything kept in memory listens
// here, whatever the source: the poll's cache and the host pages' streams.
#pragma once

#include <cstdint>

// Told on the thread that learnt of a change: brings what it keeps up to the
// database, or wakes the thread that does. Returns false when it could not
// yet (this thread may not wait for the database, or the read failed): the
// watcher's thread tells it again within a look or two.
using DataChangeListener = bool (*)();

// Adds a listener, once however often it is given; at most a handful.
void listenForDataChanges(DataChangeListener listener);
// A change was committed (or may have been missed): counts it and tells every listener.
void dataChanged();
// How many changes were told: what was read before the count moved may be behind.
std::int64_t dataChangeCount();
// For a listener that finds itself behind outside its call (a read that
// raced with a change): it is told again by the watcher's next look.
void tellAgainLater(DataChangeListener listener);
// Tells again the listeners that could not follow; each look of the watcher's thread.
void tellLaggingListeners();
