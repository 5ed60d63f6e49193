// vestibra-reception backup|restore FILE: the database copied out while the
// service runs, and a copy put back while it is stopped.
#pragma once

#include <string>
#include <vector>

struct BackupArguments {
  std::string file;
  std::string database;  // "": from the config file, else reception.db
  std::string config;
  bool help = false;
};

// The arguments after "backup" or "restore"; "" or what is wrong.
std::string parseBackupArguments(const std::vector<std::string>& arguments, BackupArguments& parsed);

// command is "backup" or "restore"; exit 0 when done, 1 with the reason on standard error.
int runBackupCommand(const std::string& command, const std::vector<std::string>& arguments);
