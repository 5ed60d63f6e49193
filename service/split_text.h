#pragma once

#include <string>
#include <string_view>
#include <vector>

using TextList = std::vector<std::string>;

// Appends to list the pieces of text (up to its first NUL) between
// occurrences of the whole delimiter. Adjacent delimiters give an empty piece;
// a delimiter at the end gives no piece after it; an empty text gives none.
void splitText(const char* text, TextList& list, const char* delimiter);

// Calls piece with a view of each piece splitText would append, in order,
// without copying them.
template <typename PieceFunction>
void forEachPiece(std::string_view text, std::string_view delimiter, PieceFunction piece) {
  if (delimiter.empty()) {
    if (!text.empty()) piece(text);
    return;
  }
  for (std::size_t at = text.find(delimiter); at != std::string_view::npos; at = text.find(delimiter)) {
    piece(text.substr(0, at));
    text.remove_prefix(at + delimiter.size());
  }
  if (!text.empty()) piece(text);
}
