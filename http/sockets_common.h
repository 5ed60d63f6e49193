// Shared parts of the two socket implementations that need no platform header.
#pragma once

#include <chrono>

// Milliseconds left until a deadline, never negative.
inline int millisecondsUntil(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}
