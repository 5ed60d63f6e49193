#include "split_text.h"

#include <string_view>

void splitText(const char* text, TextList& list, const char* delimiter) {
  std::string_view rest(text);
  std::string_view separator(delimiter);
  if (separator.empty()) {
    if (!rest.empty()) list.emplace_back(rest);
    return;
  }
  // Walks a view instead of erasing from the front of a copy, so long
  // answers split in linear time.
  for (std::size_t at = rest.find(separator); at != std::string_view::npos; at = rest.find(separator)) {
    list.emplace_back(rest.substr(0, at));
    rest.remove_prefix(at + separator.size());
  }
  if (!rest.empty()) list.emplace_back(rest);
}
