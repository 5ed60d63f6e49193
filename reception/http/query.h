// Pure parsing of request targets: the path and the percent-encoded query.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

// Query keys to values, both percent-decoded bytes. A key given twice keeps
// its first value.
using QueryMap = std::map<std::string, std::string, std::less<>>;

struct RequestTarget {
  std::string path;   // percent-decoded
  QueryMap query;
};

// "%XX" to the byte XX (and "+" to a space when plusIsSpace, as in query
// values); any other byte, a "%" without two hex digits included, is kept.
std::string percentDecode(std::string_view text, bool plusIsSpace = true);

// "a=1&b=2" to {a: 1, b: 2}. Empty pieces are skipped; a piece without "="
// is a key with an empty value.
QueryMap parseQuery(std::string_view query);

// Splits a request target ("/path?query#fragment") into path and query.
RequestTarget parseRequestTarget(std::string_view target);

// The value of key, if the query has it.
std::optional<std::string> queryValue(const QueryMap& query, std::string_view key);
