// The service's options, each declared once in one table: its name (also the
// configuration file's key), its value, its default, the room whose settings
// it fills, the rule that reads it and its help. --help, the configuration
// file's keys, the command line's checks and the README's option table all
// come from this table.
#pragma once

#include <string>
#include <vector>

#include "commands/option_rules.h"

// The part of the service an option sets up, which is also its --help section.
enum class Room { service, notifier, desk, visits, alerts, directory, sso };

struct OptionRow {
  const char* name;       // without "--"; the configuration file's key
  const char* value;      // the value's form in --help; "" for a flag
  const char* byDefault;  // the default in words; "" for none
  Room room;
  ValueRule rule;    // empty: read before the table is applied (--config)
  const char* help;  // one sentence or a few; --help wraps it

  bool isFlag() const { return value[0] == '\0'; }
};

const std::vector<OptionRow>& optionTable();
// The row of "--name", or nullptr.
const OptionRow* findOption(const std::string& dashedName);

// The options part of --help, from the table, sections by room.
std::string optionUsage();
// The README's option table in Markdown: one row per option.
std::string optionMarkdownTable();
