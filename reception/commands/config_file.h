// The service's configuration file: one "name = value" per line, with the
// long options' names, read before the command line so that the command line
// wins. Every option the command line knows works in the file too.
#pragma once

#include <string>
#include <vector>

#include "commands/options.h"

// Applies the lines of a configuration file's text to options. "name = value"
// is --name=value, a lone "name" is --name (for options without a value);
// blank lines and "#" comments (at a line's start or after white space) are
// skipped. "" or an error naming fileName and the line.
std::string applyConfigText(const std::string& text, const std::string& fileName, ReceptionOptions& options);

// The whole start-up parse: --config FILE (or --config=FILE) anywhere in the
// arguments is read first, then the other arguments over it. "" or a message.
std::string parseOptions(const std::vector<std::string>& arguments, ReceptionOptions& options);
