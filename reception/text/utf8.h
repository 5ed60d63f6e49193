// UTF-8 as the service stores and shows it: texts from outside (a restored
// database, a directory) made valid, and control characters made visible
// wherever a text reaches a log or a terminal.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The length of the valid UTF-8 character at text[at] (1 to 4), or 0 when
// the bytes there are not one (a stray continuation byte, an overlong or
// cut sequence, a surrogate, a code point beyond U+10FFFF).
std::size_t utf8CharacterLength(std::string_view text, std::size_t at);

// (isValidUtf8 is in text/code_page.h.)
// The text with every byte that is not part of a valid character replaced
// by U+FFFD; valid text comes back as it is.
std::string withValidUtf8(std::string_view text);

// The text with control characters written as \xHH (each of their bytes):
// C0, DEL and C1, as a code point (U+0080 to U+009F) or as a lone byte, and
// any byte outside a valid character. The characters in alsoEscaped get a
// backslash before them. What remains cannot move a terminal's cursor or
// start a line.
std::string escapedControls(std::string_view text, std::string_view alsoEscaped = {});
