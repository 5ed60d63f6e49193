#include "http/query.h"

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string percentDecode(std::string_view text, bool plusIsSpace) {
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t at = 0; at < text.size(); ++at) {
    char c = text[at];
    if (c == '+' && plusIsSpace) {
      decoded += ' ';
    } else if (c == '%' && at + 2 < text.size() && hexValue(text[at + 1]) >= 0 && hexValue(text[at + 2]) >= 0) {
      decoded += static_cast<char>(hexValue(text[at + 1]) * 16 + hexValue(text[at + 2]));
      at += 2;
    } else {
      decoded += c;
    }
  }
  return decoded;
}

QueryMap parseQuery(std::string_view query) {
  QueryMap values;
  while (!query.empty()) {
    std::size_t end = query.find('&');
    std::string_view piece = query.substr(0, end);
    query = end == std::string_view::npos ? std::string_view() : query.substr(end + 1);
    if (piece.empty()) continue;
    std::size_t equals = piece.find('=');
    std::string key = percentDecode(piece.substr(0, equals));
    std::string value = equals == std::string_view::npos ? std::string() : percentDecode(piece.substr(equals + 1));
    values.emplace(std::move(key), std::move(value));
  }
  return values;
}

RequestTarget parseRequestTarget(std::string_view target) {
  target = target.substr(0, target.find('#'));
  RequestTarget parsed;
  std::size_t question = target.find('?');
  parsed.path = percentDecode(target.substr(0, question), false);
  if (question != std::string_view::npos) parsed.query = parseQuery(target.substr(question + 1));
  return parsed;
}

std::optional<std::string> queryValue(const QueryMap& query, std::string_view key) {
  auto found = query.find(key);
  if (found == query.end()) return std::nullopt;
  return found->second;
}
