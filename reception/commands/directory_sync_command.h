// vestibra-reception directory-sync: one sync of the staff from the
// directory, from the command line, on the database the service uses.
#pragma once

#include <string>
#include <vector>

// Exit codes: 0 synced (or previewed), 1 the directory could not be
// reached, bound or searched (or the database failed; nothing changed),
// 2 bad options, 3 the safety stop refused.
constexpr int exitDirectoryUnreachable = 1;
constexpr int exitDirectoryBadOptions = 2;
constexpr int exitDirectorySafetyStop = 3;

// arguments are those after "directory-sync".
int runDirectorySyncCommand(const std::vector<std::string>& arguments);
