// vestibra-reception desk-user add|list|remove|password: desk accounts from
// the command line, on the database the service uses.
#pragma once

#include <string>
#include <vector>

// Exit codes besides 0 (done) and 1 (failed).
constexpr int exitShortPassword = 2;

// arguments are those after "desk-user". Passwords come from the first line
// of standard input, never from the command line.
int runDeskUserCommand(const std::vector<std::string>& arguments);
