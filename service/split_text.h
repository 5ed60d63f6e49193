#pragma once

#include <string>
#include <vector>

using TextList = std::vector<std::string>;

// Appends to list the pieces of text (up to its first NUL) between
// occurrences of the whole delimiter. Adjacent delimiters give an empty piece;
// a delimiter at the end gives no piece after it; an empty text gives none.
void splitText(const char* text, TextList& list, const char* delimiter);
