// The visits' command-line options, read by the option table.
#pragma once

#include <string>

struct VisitOptions {
  int signOutMinute = 23 * 60 + 59;  // --sign-out-at HH:MM local time; -1 for "off"
  std::string houseRulesFile;           // --house-rules-file: the kiosk asks guests to accept them
  std::string visitorInstructionsFile;  // --visitor-instructions-file: arrival text for invitation mails
};

// --sign-out-at HH:MM|off (named name in the message); "" or a message naming it.
std::string applyVisitOption(const std::string& name, const std::string& value, VisitOptions& options);
// "HH:MM" as minutes after midnight; -1 when it is not such a time.
int parseClockTime(const std::string& text);
