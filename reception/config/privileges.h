// Running as a less privileged user once the ports are bound.
#pragma once

#include <string>

// When running as root: switches to the user and its groups for good; "" or
// an error. Not root: "" when the user is already the one running, else an error.
std::string dropPrivileges(const std::string& user);

// "" or an error when the database or its -wal or -shm is a symbolic link:
// the service would follow it and write its records wherever it points.
std::string refuseLinkedDatabase(const std::string& databasePath);

// Takes group and other permissions off the database and its -wal and -shm
// files, which earlier versions created readable by everyone: they hold
// password and session hashes. Only regular files are changed, never
// through a symbolic link; files that do not exist are left alone.
// Call it before the database is opened: closing any descriptor of the file
// drops every POSIX lock this process holds on it, SQLite's included, and
// another process could then take the WAL for unused and delete it.
void keepDatabasePrivate(const std::string& databasePath);
