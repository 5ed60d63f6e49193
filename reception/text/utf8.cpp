#include "text/utf8.h"

#include "text/code_page.h"

namespace {

bool isContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

unsigned char byteAt(std::string_view text, std::size_t at) { return static_cast<unsigned char>(text[at]); }

// The code point of the valid character at text[at] of the given length.
char32_t codePoint(std::string_view text, std::size_t at, std::size_t length) {
  static const unsigned char leadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  char32_t point = byteAt(text, at) & leadMask[length];
  for (std::size_t next = 1; next < length; ++next) point = (point << 6) | (byteAt(text, at + next) & 0x3F);
  return point;
}

void appendHex(std::string& out, unsigned char byte) {
  const char digits[] = "0123456789abcdef";
  out += "\\x";
  out += digits[byte >> 4];
  out += digits[byte & 0xF];
}

}  // namespace

std::size_t utf8CharacterLength(std::string_view text, std::size_t at) {
  unsigned char lead = byteAt(text, at);
  if (lead < 0x80) return 1;
  std::size_t length = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3 : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
  if (length == 0 || at + length > text.size()) return 0;
  for (std::size_t next = 1; next < length; ++next) {
    if (!isContinuation(byteAt(text, at + next))) return 0;
  }
  char32_t point = codePoint(text, at, length);
  bool overlong = (length == 3 && point < 0x800) || (length == 4 && point < 0x10000);
  bool surrogate = point >= 0xD800 && point <= 0xDFFF;
  return overlong || surrogate || point > 0x10FFFF ? 0 : length;
}

std::string withValidUtf8(std::string_view text) {
  if (isValidUtf8(text)) return std::string(text);
  std::string out;
  out.reserve(text.size() + 8);
  for (std::size_t at = 0; at < text.size();) {
    std::size_t length = utf8CharacterLength(text, at);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++at;
    } else {
      out.append(text.substr(at, length));
      at += length;
    }
  }
  return out;
}

std::string escapedControls(std::string_view text, std::string_view alsoEscaped) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    std::size_t length = utf8CharacterLength(text, at);
    char32_t point = length == 0 ? 0 : codePoint(text, at, length);
    bool control = length == 0 || point < 0x20 || (point >= 0x7F && point <= 0x9F);
    std::size_t taken = length == 0 ? 1 : length;
    if (control) {
      for (std::size_t byte = 0; byte < taken; ++byte) appendHex(out, byteAt(text, at + byte));
    } else {
      if (length == 1 && alsoEscaped.find(text[at]) != std::string_view::npos) out += '\\';
      out.append(text.substr(at, taken));
    }
    at += taken;
  }
  return out;
}
