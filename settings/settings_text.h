// The bytes of the settings file, apart from any file I/O: both builds read
// and write them alike, by the rules of a Windows text-mode file.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "settings.h"

// Loads the lines of a settings file's bytes into settings, leaving existing
// keys alone, and appends key " = " value "\n" to echoLines for each line
// loaded. Reading stops at the first 0x1A; an LF ends a line, together with a
// CR directly before it; a NUL ends the line's text. Empty lines and lines
// without "=" are skipped and not echoed; "key=" loads key with an empty value.
void parseSettingsText(std::string_view bytes, SettingsMap& settings, std::vector<std::string>& echoLines);

// The file's bytes for settings: key "=" value CR LF per entry in key order,
// every LF written as CR LF.
std::string formatSettingsText(const SettingsMap& settings);
