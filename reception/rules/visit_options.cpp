#include "rules/visit_options.h"

int parseClockTime(const std::string& text) {
  if (text.size() != 5 || text[2] != ':') return -1;
  for (std::size_t at : {0, 1, 3, 4}) {
    if (text[at] < '0' || text[at] > '9') return -1;
  }
  int hours = (text[0] - '0') * 10 + (text[1] - '0');
  int minutes = (text[3] - '0') * 10 + (text[4] - '0');
  return hours < 24 && minutes < 60 ? hours * 60 + minutes : -1;
}

std::string applyVisitOption(const std::string& name, const std::string& value, VisitOptions& options) {
  if (value == "off") {
    options.signOutMinute = -1;
    return "";
  }
  options.signOutMinute = parseClockTime(value);
  return options.signOutMinute >= 0 ? "" : name + ": \"" + value + "\" is not a time HH:MM (00:00 to 23:59) nor off";
}
