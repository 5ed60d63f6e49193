// What the visits' handlers are given, fixed at start.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>


struct HouseRules {
  std::string text;     // "" when none are set: check-in then asks for nothing
  std::string version;  // the first 12 hex digits of the text's SHA-256
  std::string sha256;   // the whole SHA-256 in hex, kept with each visit that accepted them
};

struct VisitSettings {
  HouseRules houseRules;
  std::string visitorInstructions;  // the office's arrival text for invitation mails
  std::string mailFrom;             // the invitation mails' sender; "" without SMTP settings: none is mailed
};

// The house rules of a text.
HouseRules houseRulesOf(std::string text);
// Reads the files (either may be ""); "" or a message naming the file.
std::string loadVisitSettings(const std::string& houseRulesFile, const std::string& visitorInstructionsFile,
                              VisitSettings& settings);

// The "company" member of a JSON body: "" when absent, else with runs of
// spaces made one and checked as a display line; "" or the message for
// whoever typed it.
constexpr std::size_t maxCompanyChars = 80;
std::string parseCompany(std::string_view body, const std::string& codePage, std::string& company);
