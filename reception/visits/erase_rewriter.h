// After the desk erases a visitor on PostgreSQL, the leader rewrites the
// tables that held them within a minute (store/erase.h), so the name leaves
// the table files as it does at once on SQLite. The erase request itself
// does not wait for the rewrite, which locks the tables while it copies them.
#pragma once

// Starts the thread, which does nothing unless the database is PostgreSQL.
void startEraseRewriter();
void stopEraseRewriter();
