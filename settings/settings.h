// The notifier's settings: the key=value file "settings.conf" and the map it
// loads into.
// Errors: silent, as the notifier shows none; a file that cannot be read
// changes nothing, a save that fails leaves the old file whole.
#pragma once

#include <map>
#include <string>

// Keys ordered byte-wise on unsigned bytes, a proper prefix first; that is
// exactly std::string's ordering (char_traits<char> compares as unsigned char).
using SettingsMap = std::map<std::string, std::string>;

// The process-wide settings.
extern SettingsMap settingsMap;

// The key under which the watched user's display name is kept.
extern const char userKey[];

// Loads path into settings: the first line for a key wins; each line read is
// echoed as key " = " value on standard output. A missing file changes nothing.
void loadSettings(const char* path, SettingsMap& settings);
// Writes every entry as key=value and CR LF, in key order, replacing path
// atomically: a failure leaves the old file whole. Silent on failure.
void saveSettings(const char* path, const SettingsMap& settings);

// The steps of a save, in order. Tests set failSaveStepForTesting to make one
// of them fail as a full disk, a failing device or a locked file would; it is
// SaveStep::none otherwise.
enum class SaveStep { none, openTemporary, write, flush, sync, close, replace };
extern SaveStep failSaveStepForTesting;
