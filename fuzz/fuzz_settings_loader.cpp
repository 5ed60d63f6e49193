// The settings loader on any file bytes, against the file rules read line by
// line; then the map written back and loaded again must come back the same.
#include "fuzz_check.h"
#include "settings_text.h"

namespace {

struct Loaded {
  SettingsMap settings;
  std::vector<std::string> echoLines;
};

// The rules: text ends at the first 0x1A; LF ends a line and a CR right
// before it belongs to the line end; a NUL ends a line's text; the key runs to
// the first "=", the value from there to the next "=". Lines without "="
// hold no setting. The first line for a key wins.
Loaded loadByTheRules(std::string_view bytes, SettingsMap settings) {
  Loaded loaded{std::move(settings), {}};
  std::string_view text = bytes.substr(0, bytes.find('\x1A'));
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (end != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    line = untilNul(line);
    std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    std::string key(line.substr(0, equals));
    std::string_view afterKey = line.substr(equals + 1);
    std::string value(afterKey.substr(0, afterKey.find('=')));
    loaded.echoLines.push_back(key);
    loaded.echoLines.back().append(" = ").append(value).append("\n");
    loaded.settings.emplace(key, value);
  }
  return loaded;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes = fuzzBytes(data, size);
  const SettingsMap held{{"user", "Held User"}};

  Loaded loaded{held, {}};
  parseSettingsText(bytes, loaded.settings, loaded.echoLines);
  Loaded expected = loadByTheRules(bytes, held);
  FUZZ_CHECK(loaded.settings == expected.settings);
  FUZZ_CHECK(loaded.echoLines == expected.echoLines);

  // What the program writes, it reads back as the same map, and writing that
  // again gives the same bytes.
  std::string written = formatSettingsText(loaded.settings);
  Loaded reread;
  parseSettingsText(written, reread.settings, reread.echoLines);
  FUZZ_CHECK(reread.settings == loaded.settings);
  FUZZ_CHECK(reread.echoLines.size() == loaded.settings.size());
  FUZZ_CHECK(formatSettingsText(reread.settings) == written);
  return 0;
}
