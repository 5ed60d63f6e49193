// splitText against the splitting rules step by step, for any text and any
// delimiter of one to four bytes. Input: one byte giving the delimiter's
// length, the delimiter, then the text.
#include <algorithm>

#include "fuzz_check.h"
#include "split_text.h"

namespace {

// The rules as written: cut the text before each whole delimiter, searching
// on behind the delimiter; a non-empty rest is the last piece.
TextList piecesByTheRules(std::string_view text, std::string_view delimiter) {
  TextList pieces;
  std::string rest(text);
  for (std::size_t at = rest.find(delimiter); at != std::string::npos; at = rest.find(delimiter)) {
    pieces.push_back(rest.substr(0, at));
    rest.erase(0, at + delimiter.size());
  }
  if (!rest.empty()) pieces.push_back(rest);
  return pieces;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input = fuzzBytes(data, size);
  if (input.empty()) return 0;
  std::size_t delimiterLength = 1 + static_cast<unsigned char>(input[0]) % 4;
  input.remove_prefix(1);
  std::string delimiter(untilNul(input.substr(0, delimiterLength)));
  if (delimiter.empty()) return 0;  // callers never pass an empty delimiter
  input.remove_prefix(std::min(delimiterLength, input.size()));
  std::string text(input);  // NUL-terminated, possibly with NULs inside

  TextList list{"held before"};
  splitText(text.c_str(), list, delimiter.c_str());
  FUZZ_CHECK(!list.empty() && list[0] == "held before");
  TextList pieces(list.begin() + 1, list.end());
  std::string_view counted = untilNul(text);
  FUZZ_CHECK(pieces == piecesByTheRules(counted, delimiter));

  // Joining the pieces with the delimiter gives back the text, less a
  // delimiter that ended it; no piece holds the whole delimiter.
  std::string joined;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    FUZZ_CHECK(pieces[i].find(delimiter) == std::string::npos);
    joined += (i > 0 ? delimiter : "") + pieces[i];
  }
  FUZZ_CHECK(joined == counted || joined + delimiter == counted);
  return 0;
}
