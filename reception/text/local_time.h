// Times in milliseconds since the epoch as the service's local time reads.
#pragma once

#include <cstdint>
#include <string>

// The local time in strftime's format; "" when it cannot be written.
std::string localTimeText(std::int64_t ms, const char* format);
// "2026-12-07T14:05:09+01:00": local time with its offset.
std::string isoTimeWithOffset(std::int64_t ms);
