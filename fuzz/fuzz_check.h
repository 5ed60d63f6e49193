// Property checks inside fuzz targets: a broken property aborts with a
// message, which libFuzzer records as a crash and the replay runner as a
// failed test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#define FUZZ_CHECK(condition)                                                                  \
  do {                                                                                         \
    if (!(condition)) fuzzCheckFailed(#condition, __FILE__, __LINE__);                         \
  } while (false)

[[noreturn]] inline void fuzzCheckFailed(const char* condition, const char* file, int line) {
  static_cast<void>(std::fprintf(stderr, "%s:%d: property broken: %s\n", file, line, condition));
  std::abort();
}

// The input as bytes.
inline std::string_view fuzzBytes(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// Takes the part of input before the first separator byte off its front (all
// of it when there is none): how targets with two arguments divide one input.
inline std::string takePart(std::string_view& input, char separator) {
  std::size_t at = input.find(separator);
  std::string part(input.substr(0, at));
  input = at == std::string_view::npos ? std::string_view() : input.substr(at + 1);
  return part;
}

// The text a C string of these bytes holds: up to the first NUL.
inline std::string_view untilNul(std::string_view bytes) { return bytes.substr(0, bytes.find('\0')); }
