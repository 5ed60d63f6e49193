#include "rules/visit_settings.h"

#include <sodium.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "rules/validation.h"
#include "store/token_hash.h"
#include "text/code_page.h"
#include "text/text.h"

namespace {

// Files of a few pages at most: the kiosk shows the rules on one screen.
constexpr std::size_t maxTextFileBytes = std::size_t{64} * 1024;

std::string readTextFile(const std::string& path, const char* what, std::string& text) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  if (file) bytes << file.rdbuf();
  if (!file) return std::string("cannot read the ") + what + " " + path + ": " + std::strerror(errno);
  text = bytes.str();
  if (text.size() > maxTextFileBytes) return std::string("the ") + what + " " + path + " is larger than 64 KiB";
  if (!isValidUtf8(text)) return std::string("the ") + what + " " + path + " is not UTF-8 text";
  return "";
}

}  // namespace

HouseRules houseRulesOf(std::string text) {
  HouseRules rules;
  if (text.empty()) return rules;
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(text.data()), text.size());
  rules.sha256 = hexText(digest, sizeof digest);
  rules.version = rules.sha256.substr(0, 12);
  rules.text = std::move(text);
  return rules;
}

std::string loadVisitSettings(const std::string& houseRulesFile, const std::string& visitorInstructionsFile,
                              VisitSettings& settings) {
  if (!houseRulesFile.empty()) {
    std::string text;
    std::string error = readTextFile(houseRulesFile, "house rules file", text);
    if (!error.empty()) return error;
    if (text.find_first_not_of(" \t\r\n") == std::string::npos) return "the house rules file " + houseRulesFile + " is empty";
    settings.houseRules = houseRulesOf(std::move(text));
  }
  if (!visitorInstructionsFile.empty()) {
    return readTextFile(visitorInstructionsFile, "visitor instructions file", settings.visitorInstructions);
  }
  return "";
}

std::string parseCompany(std::string_view body, const std::string& codePage, std::string& company) {
  nlohmann::json object;
  std::string error = parseObject(body, object);
  if (!error.empty()) return error;
  company.clear();
  auto member = object.find("company");
  if (member == object.end() || member->is_null()) return "";
  if (!member->is_string()) return "The company must be text.";
  company = collapsedSpaces(trimmed(member->get<std::string>()));
  return checkLine("The company", company, maxCompanyChars, false, codePage);
}
