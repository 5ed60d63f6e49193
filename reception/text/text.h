// The few text helpers every room shares: trimming and decimal numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// "1 visit", "2 visits": a count with its noun, singular for one only.
std::string counted(std::int64_t count, const char* singular, const char* plural);

// The text without leading and trailing ASCII white space.
std::string_view trimmed(std::string_view text);

// The text trimmed, with each run of spaces inside it made one space: names
// as people type them, words as notifiers split them.
std::string collapsedSpaces(std::string_view text);

// A number written in 1 to maxDigits decimal digits and nothing else (no
// sign, no blanks); false otherwise. maxDigits is at most 18, so it fits.
bool parseDecimal(std::string_view text, std::size_t maxDigits, std::int64_t& value);
