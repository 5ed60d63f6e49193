// What the visits' handlers are given, fixed at start.
#pragma once

#include <string>

#include "alerts/alert_sender.h"
#include "visits/visit_options.h"

struct HouseRules {
  std::string text;     // "" when none are set: check-in then asks for nothing
  std::string version;  // the first 12 hex digits of the text's SHA-256
  std::string sha256;   // the whole SHA-256 in hex, kept with each visit that accepted them
};

struct VisitSettings {
  HouseRules houseRules;
  std::string visitorInstructions;  // the office's arrival text for invitation mails
  SmtpSettings smtp;                // the alerts' mail settings; url "" sends no invitation mail
};

// The house rules of a text.
HouseRules houseRulesOf(std::string text);
// Reads the files the options name; "" or a message naming the file.
std::string loadVisitSettings(const VisitOptions& options, VisitSettings& settings);
