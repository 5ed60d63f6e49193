// The machine's own addresses as Host header names ("192.168.1.5",
// "[fe80::1]"), so the desk opens by any of them without configuration.
// Addresses come and go (DHCP, a new interface): the list is read again
// when it is older than a minute, and sooner for a name it lacks.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// Every address of the machine's interfaces, IPv6 in brackets without a zone.
std::vector<std::string> interfaceAddresses();
// The machine's fully qualified name as its resolver gives it ("desk.corp.example"), or "".
std::string fullyQualifiedHostName();

class HostAddresses {
 public:
  using Reader = std::vector<std::string> (*)();
  explicit HostAddresses(Reader read = interfaceAddresses);

  // Whether name (lower case, IPv6 in brackets) is one of the addresses.
  bool contains(const std::string& name);

 private:
  using Clock = std::chrono::steady_clock;
  void refreshIfOlderThan(Clock::duration age);

  Reader read_;
  std::mutex mutex_;
  std::vector<std::string> addresses_;
  Clock::time_point readAt_;
};
