#include "desk/known_addresses.h"

#include <mutex>
#include <unordered_map>
#include <vector>

#include "http/client_network.h"
#include "store/audit.h"
#include "store/clock.h"

namespace {

constexpr std::int64_t knownForMs = knownAddressDays * 24 * 60 * 60 * 1000;
// A desk has a few PCs; the most recent of more than this many are kept.
constexpr std::size_t maxKnownNetworks = 4096;

std::mutex knownMutex;
std::unordered_map<std::string, std::int64_t> lastLogin;  // network -> time of its last correct login

void forgetOldest() {
  auto oldest = lastLogin.begin();
  for (auto entry = lastLogin.begin(); entry != lastLogin.end(); ++entry) {
    if (entry->second < oldest->second) oldest = entry;
  }
  if (oldest != lastLogin.end()) lastLogin.erase(oldest);
}

}  // namespace

void loadKnownDeskAddresses(std::int64_t now) {
  std::vector<std::pair<std::string, std::int64_t>> logins;
  if (recentLogins(now - knownForMs, maxKnownNetworks, logins) != Outcome::ok) return;
  std::lock_guard<std::mutex> lock(knownMutex);
  for (const auto& [address, at] : logins) {
    std::int64_t& last = lastLogin[clientNetwork(address)];
    last = std::max(last, at);
  }
}

void noteKnownDeskAddress(const std::string& address, std::int64_t now) {
  std::lock_guard<std::mutex> lock(knownMutex);
  std::string network = clientNetwork(address);
  if (lastLogin.count(network) == 0 && lastLogin.size() >= maxKnownNetworks) forgetOldest();
  lastLogin[network] = now;
}

bool isKnownDeskAddress(const std::string& address) {
  std::lock_guard<std::mutex> lock(knownMutex);
  auto found = lastLogin.find(clientNetwork(address));
  return found != lastLogin.end() && found->second + knownForMs > currentTimeMs();
}

void forgetKnownDeskAddresses() {
  std::lock_guard<std::mutex> lock(knownMutex);
  lastLogin.clear();
}
