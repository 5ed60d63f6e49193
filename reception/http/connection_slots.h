// Who gets a connection slot. Once three quarters of the slots are taken,
// only addresses holding fewer than fewConnections connections get one, so
// that a crowd of addresses holding many unfinished requests leaves the last
// quarter to notifiers and the desk, which hold one or two each.
#pragma once

#include <sys/socket.h>

#include <mutex>
#include <string>
#include <unordered_map>

constexpr unsigned fewConnections = 4;

// Pure policy: whether an address that holds heldByAddress connections may
// open one more while open of capacity slots are taken.
bool admitsConnection(unsigned open, unsigned heldByAddress, unsigned capacity);

// An IPv4 or IPv6 peer address as text ("" for other families).
std::string addressText(const sockaddr* peer);

// The open connections per address, under its own lock.
class ConnectionSlots {
 public:
  void setCapacity(unsigned capacity);
  bool admits(const std::string& address);
  void opened(const std::string& address);
  void closed(const std::string& address);
  unsigned heldBy(const std::string& address);

 private:
  std::mutex mutex_;
  unsigned capacity_ = 0;
  unsigned open_ = 0;
  std::unordered_map<std::string, unsigned> held_;
};
