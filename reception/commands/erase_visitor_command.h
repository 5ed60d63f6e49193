// vestibra-reception erase-visitor --name NAME | --email EMAIL [--config FILE] [--database FILE]:
// deletes every record of one visitor and prints "erased N visits".
#pragma once

#include <string>
#include <vector>

// Exit codes: 0 done, 1 the database could not be opened or written, 2 bad
// options, 3 erased but the WAL could not be emptied (another process had
// the database open): the name may stay in the files until it can.
constexpr int exitEraseFailed = 1;
constexpr int exitEraseBadOptions = 2;
constexpr int exitEraseWalKept = 3;

int runEraseVisitorCommand(const std::vector<std::string>& arguments);
