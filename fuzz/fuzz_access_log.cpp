// Access-log lines (input: method, target, protocol, referer and user agent,
// NUL apart, then two bytes of status). Whatever a client sends, a line is
// one line of valid UTF-8 without a control character, its three quoted
// fields close where they should, and no key= parameter of the query (the
// pairs after the first "?", as the service reads them) keeps its value.
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "http/access_log.h"
#include "text/code_page.h"
#include "text/utf8.h"

namespace {

// The line's quoted fields, unescaped only as far as finding their ends.
std::vector<std::string> quotedFields(const std::string& line) {
  std::vector<std::string> fields;
  bool inside = false;
  std::string field;
  for (std::size_t at = 0; at < line.size(); ++at) {
    char c = line[at];
    if (!inside) {
      if (c == '"') inside = true;
      continue;
    }
    if (c == '\\') {
      FUZZ_CHECK(at + 1 < line.size());
      field += line.substr(at, 2);
      ++at;
    } else if (c == '"') {
      fields.push_back(field);
      field.clear();
      inside = false;
    } else {
      field += c;
    }
  }
  FUZZ_CHECK(!inside);
  return fields;
}

bool hasControl(const std::string& text) {
  for (std::size_t at = 0; at < text.size();) {
    std::size_t length = utf8CharacterLength(text, at);
    if (length == 0) return true;
    auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x20 || lead == 0x7F) return true;
    if (length == 2 && lead == 0xC2 && static_cast<unsigned char>(text[at + 1]) <= 0x9F) return true;
    at += length;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input = fuzzBytes(data, size);
  AccessEntry entry;
  entry.client = "192.0.2.7";
  entry.timeMs = 1767346205000LL;
  entry.method = takePart(input, '\0');
  entry.target = takePart(input, '\0');
  entry.protocol = takePart(input, '\0');
  entry.referer = takePart(input, '\0');
  entry.userAgent = takePart(input, '\0');
  entry.status = input.size() >= 2 ? static_cast<unsigned char>(input[0]) * 4 + static_cast<unsigned char>(input[1]) % 4 : 200;
  entry.bytes = size;
  std::string line = accessLogLine(entry);
  FUZZ_CHECK(!line.empty() && line.back() == '\n');
  std::string body = line.substr(0, line.size() - 1);
  FUZZ_CHECK(isValidUtf8(body) && !hasControl(body));
  std::vector<std::string> fields = quotedFields(body);
  FUZZ_CHECK(fields.size() == 3);
  // The request's query: every key= parameter masked (checked where the
  // method and protocol cannot be mistaken for the target).
  auto plain = [](const std::string& part) { return part.find_first_of("? ") == std::string::npos && part.find("key=") == std::string::npos; };
  if (!plain(entry.method) || !plain(entry.protocol)) return 0;
  const std::string& request = fields[0];
  std::size_t query = request.find('?');
  for (std::size_t at = query; query != std::string::npos && (at = request.find("key=", at)) != std::string::npos; at += 4) {
    char before = request[at - 1];
    if (at == query + 1 || (at > query && before == '&')) FUZZ_CHECK(request.compare(at, 5, "key=-") == 0);
  }
  return 0;
}
