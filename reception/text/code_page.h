// Conversion between the service's UTF-8 and the notifiers' 8-bit code page.
// Notifiers treat every text as bytes in their system code page: the
// notifier API converts what it sends and receives, and the desk's name and
// line rules convert to check that a text will reach notifiers intact.
#pragma once

#include <string>
#include <string_view>

// The code page notifiers use unless the service is told otherwise (--code-page).
constexpr char defaultCodePage[] = "WINDOWS-1252";

// Checks that iconv knows the code page and that it keeps ASCII as it is
// (the answer format relies on "," and "|" being those bytes).
bool isUsableCodePage(const std::string& codePage);

// UTF-8 to the code page; false when the text is not valid UTF-8 or holds a
// character the code page cannot represent.
bool toCodePage(std::string_view utf8, std::string& converted, const std::string& codePage = defaultCodePage);
// As toCodePage, but every character the code page lacks becomes "?".
std::string toCodePageLossy(std::string_view utf8, const std::string& codePage = defaultCodePage);
// Code-page bytes to UTF-8; false for a byte the code page leaves undefined.
bool fromCodePage(std::string_view bytes, std::string& utf8, const std::string& codePage = defaultCodePage);

// The notifiers' answers part records at "," and fields at "|" with no
// escaping, so inside a field a comma travels as the look-alike U+201A and a
// bar as U+00A6 (bytes 0x82 and 0xA6 in WINDOWS-1252). UTF-8 in, UTF-8 out.
constexpr char commaStandIn[] = "\u201A";
constexpr char barStandIn[] = "\u00A6";
std::string withSeparatorsStoodIn(std::string_view utf8);

// True when text is well-formed UTF-8 (no overlong forms, surrogates or
// values above U+10FFFF).
bool isValidUtf8(std::string_view text);
