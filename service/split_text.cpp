#include "split_text.h"

void splitText(const char* text, TextList& list, const char* delimiter) {
  // Walks views instead of erasing from the front of a copy, so long
  // answers split in linear time.
  forEachPiece(text, delimiter, [&list](std::string_view piece) { list.emplace_back(piece); });
}
