#include "text/text.h"

std::string_view trimmed(std::string_view text) {
  const char* blanks = " \t\r\n\v\f";
  std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool parseDecimal(std::string_view text, std::size_t maxDigits, std::int64_t& value) {
  if (text.empty() || text.size() > maxDigits || maxDigits > 18) return false;
  std::int64_t parsed = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    parsed = parsed * 10 + (c - '0');
  }
  value = parsed;
  return true;
}

std::string collapsedSpaces(std::string_view text) {
  std::string collapsed;
  for (char c : trimmed(text)) {
    if (c == ' ' && !collapsed.empty() && collapsed.back() == ' ') continue;
    collapsed += c;
  }
  return collapsed;
}

std::string counted(std::int64_t count, const char* singular, const char* plural) {
  return std::to_string(count) + " " + (count == 1 ? singular : plural);
}
