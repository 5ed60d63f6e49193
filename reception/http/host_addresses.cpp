#include "http/host_addresses.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

namespace {

// At most this old, and a name not among them re-reads after this long, so
// a client with a fresh address waits seconds, not a minute.
constexpr std::chrono::seconds refreshEvery{60};
constexpr std::chrono::seconds refreshOnMissAfter{5};

std::string addressText(const sockaddr* address) {
  char text[INET6_ADDRSTRLEN] = "";
  if (address->sa_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    if (::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text) != nullptr) return text;
  } else if (address->sa_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    if (::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text) != nullptr) return "[" + std::string(text) + "]";
  }
  return "";
}

}  // namespace

std::vector<std::string> interfaceAddresses() {
  std::vector<std::string> addresses;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return addresses;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr) continue;
    std::string text = addressText(entry->ifa_addr);
    if (!text.empty() && std::find(addresses.begin(), addresses.end(), text) == addresses.end()) {
      addresses.push_back(text);
    }
  }
  ::freeifaddrs(list);
  return addresses;
}

std::string fullyQualifiedHostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "";
  addrinfo hints{};
  hints.ai_flags = AI_CANONNAME;
  addrinfo* found = nullptr;
  if (::getaddrinfo(name, nullptr, &hints, &found) != 0) return "";
  std::string canonical = found->ai_canonname != nullptr ? found->ai_canonname : "";
  ::freeaddrinfo(found);
  std::transform(canonical.begin(), canonical.end(), canonical.begin(), [](unsigned char c) { return std::tolower(c); });
  return canonical;
}

HostAddresses::HostAddresses(Reader read) : read_(read), addresses_(read()), readAt_(Clock::now()) {}

bool HostAddresses::contains(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  refreshIfOlderThan(refreshEvery);
  if (std::find(addresses_.begin(), addresses_.end(), name) != addresses_.end()) return true;
  refreshIfOlderThan(refreshOnMissAfter);
  return std::find(addresses_.begin(), addresses_.end(), name) != addresses_.end();
}

void HostAddresses::refreshIfOlderThan(Clock::duration age) {
  if (Clock::now() - readAt_ < age) return;
  addresses_ = read_();
  readAt_ = Clock::now();
}
