#include "text/code_page.h"

#include <iconv.h>

#include <cerrno>

namespace {

// One iconv descriptor for the length of a conversion.
struct Converter {
  iconv_t handle;
  Converter(const std::string& to, const std::string& from) : handle(iconv_open(to.c_str(), from.c_str())) {}
  ~Converter() {
    if (ok()) iconv_close(handle);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  // NOLINTNEXTLINE(performance-no-int-to-ptr): (iconv_t)-1 is iconv_open's documented failure value
  bool ok() const { return handle != reinterpret_cast<iconv_t>(-1); }
};

enum class Conversion { done, badInput, failed };

// Converts as much of input as it can into output; stops at the first
// sequence it cannot convert and leaves input pointing at it.
Conversion convertSome(Converter& converter, std::string_view& input, std::string& output) {
  char buffer[1024];
  while (!input.empty()) {
    char* in = const_cast<char*>(input.data());
    std::size_t inLeft = input.size();
    char* out = buffer;
    std::size_t outLeft = sizeof buffer;
    std::size_t result = iconv(converter.handle, &in, &inLeft, &out, &outLeft);
    int error = errno;
    output.append(buffer, static_cast<std::size_t>(out - buffer));
    input = std::string_view(in, inLeft);
    if (result != static_cast<std::size_t>(-1)) continue;
    if (error == E2BIG) continue;
    return error == EILSEQ || error == EINVAL ? Conversion::badInput : Conversion::failed;
  }
  return Conversion::done;
}

bool convertAll(const std::string& to, const std::string& from, std::string_view input, std::string& output) {
  Converter converter(to, from);
  if (!converter.ok()) return false;
  output.clear();
  return convertSome(converter, input, output) == Conversion::done;
}

std::size_t utf8SequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

bool isContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

bool isValidUtf8(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = utf8SequenceLength(lead);
    if (length == 0 || at + length > text.size()) return false;
    for (std::size_t i = 1; i < length; ++i) {
      if (!isContinuation(static_cast<unsigned char>(text[at + i]))) return false;
    }
    auto second = static_cast<unsigned char>(length > 1 ? text[at + 1] : 0);
    if (lead == 0xE0 && second < 0xA0) return false;  // overlong
    if (lead == 0xED && second > 0x9F) return false;  // surrogate
    if (lead == 0xF0 && second < 0x90) return false;  // overlong
    if (lead == 0xF4 && second > 0x8F) return false;  // above U+10FFFF
    at += length;
  }
  return true;
}

bool isUsableCodePage(const std::string& codePage) {
  const std::string ascii = "Az09 ,|-_.~'";
  std::string converted;
  std::string back;
  return toCodePage(ascii, converted, codePage) && converted == ascii && fromCodePage(converted, back, codePage) &&
         back == ascii;
}

bool toCodePage(std::string_view utf8, std::string& converted, const std::string& codePage) {
  return isValidUtf8(utf8) && convertAll(codePage, "UTF-8", utf8, converted);
}

std::string toCodePageLossy(std::string_view utf8, const std::string& codePage) {
  std::string converted;
  Converter converter(codePage, "UTF-8");
  if (!converter.ok()) return converted;
  // Bounded: each pass consumes at least one byte of input.
  while (convertSome(converter, utf8, converted) == Conversion::badInput && !utf8.empty()) {
    converted += '?';
    std::size_t skip = utf8SequenceLength(static_cast<unsigned char>(utf8[0]));
    utf8.remove_prefix(skip == 0 || skip > utf8.size() ? 1 : skip);
  }
  return converted;
}

std::string withSeparatorsStoodIn(std::string_view utf8) {
  std::string field;
  field.reserve(utf8.size());
  for (char c : utf8) {
    if (c == ',') {
      field += commaStandIn;
    } else if (c == '|') {
      field += barStandIn;
    } else {
      field += c;
    }
  }
  return field;
}

bool fromCodePage(std::string_view bytes, std::string& utf8, const std::string& codePage) {
  return convertAll("UTF-8", codePage, bytes, utf8);
}
