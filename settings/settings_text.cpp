#include "settings_text.h"

#include "split_text.h"

namespace {

constexpr char endOfText = '\x1A';  // Ctrl-Z: a text-mode read ends here

struct Setting {
  std::string key;
  std::string value;
};

// The key and value of one line, or false for a line that holds no setting:
// an empty one, or one without "=" (before any NUL).
bool settingOfLine(std::string_view line, Setting& setting) {
  std::string text(line.substr(0, line.find('\0')));
  TextList pieces;
  splitText(text.c_str(), pieces, "=");
  if (pieces.empty() || text.find('=') == std::string::npos) return false;
  setting.key = pieces[0];
  // "key=" splits into one piece: the value is empty.
  setting.value = pieces.size() > 1 ? pieces[1] : std::string();
  return true;
}

// Takes the next line off the front of text, without its line end.
std::string_view takeLine(std::string_view& text) {
  std::size_t end = text.find('\n');
  if (end == std::string_view::npos) {
    std::string_view last = text;  // no line end: a CR at its end is text
    text = std::string_view();
    return last;
  }
  std::string_view line = text.substr(0, end);
  text.remove_prefix(end + 1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

}  // namespace

void parseSettingsText(std::string_view bytes, SettingsMap& settings, std::vector<std::string>& echoLines) {
  std::string_view text = bytes.substr(0, bytes.find(endOfText));
  while (!text.empty()) {
    Setting setting;
    if (!settingOfLine(takeLine(text), setting)) continue;
    echoLines.push_back(setting.key + " = " + setting.value + "\n");
    settings.emplace(std::move(setting.key), std::move(setting.value));
  }
}

std::string formatSettingsText(const SettingsMap& settings) {
  std::string lines;
  for (const auto& [key, value] : settings) lines.append(key).append("=").append(value).append("\n");
  std::string bytes;
  bytes.reserve(lines.size() + settings.size());
  for (char byte : lines) {
    if (byte == '\n') bytes += '\r';
    bytes += byte;
  }
  return bytes;
}
