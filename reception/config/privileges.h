// Running as a less privileged user once the ports are bound.
#pragma once

#include <string>

// When running as root: switches to the user and its groups for good; "" or
// an error. Not root: "" when the user is already the one running, else an error.
std::string dropPrivileges(const std::string& user);

// Takes group and other permissions off the database and its -wal and -shm
// files, which earlier versions created readable by everyone: they hold
// password and session hashes. Files that do not exist are left alone.
void keepDatabasePrivate(const std::string& databasePath);
