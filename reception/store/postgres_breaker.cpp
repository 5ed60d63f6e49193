#include "store/postgres_breaker.h"

#include <atomic>
#include <chrono>
#include <cstdio>

namespace {

std::atomic<bool> away{false};
std::atomic<std::int64_t> nextTryMs{0};
std::atomic<bool> probing{false};

std::int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

bool postgresMayTry(bool mayProbe) {
  if (!away) return true;
  if (!mayProbe || nowMs() < nextTryMs) return false;
  bool expected = false;
  return probing.compare_exchange_strong(expected, true);
}

// NOLINTBEGIN(cert-err33-c): the service runs on whether or not its log is read
void postgresAnswered() {
  probing = false;
  if (away.exchange(false)) std::fprintf(stderr, "vestibra-reception: database: the server answers again\n");
}

void postgresSilent(const std::string& why) {
  nextTryMs = nowMs() + postgresRetryAfterSilenceMs;
  probing = false;
  if (!away.exchange(true)) {
    std::fprintf(stderr, "vestibra-reception: database: %s; requests that need it are refused until it answers\n",
                 why.c_str());
  }
}
// NOLINTEND(cert-err33-c)

bool postgresAway() { return away; }

void resetPostgresBreaker() {
  away = false;
  probing = false;
  nextTryMs = 0;
}
