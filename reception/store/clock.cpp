#include "store/clock.h"

#include <chrono>

namespace {

std::int64_t systemTimeMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

std::int64_t (*currentTimeMs)() = systemTimeMs;
