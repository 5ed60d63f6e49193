// The service's wall clock, in milliseconds since the epoch: a seam so that
// tests can move time.
#pragma once

#include <cstdint>

extern std::int64_t (*currentTimeMs)();
