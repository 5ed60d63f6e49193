// Who gets a connection slot. Once three quarters of the slots are taken,
// only addresses holding fewer than fewConnections connections get one, so
// that a crowd of addresses holding many unfinished requests leaves the last
// quarter to notifiers and the desk, which hold one or two each.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <mutex>
#include <string>
#include <unordered_map>

constexpr unsigned fewConnections = 4;

// Pure policy: whether an address that holds heldByAddress connections may
// open one more while open of capacity slots are taken.
bool admitsConnection(unsigned open, unsigned heldByAddress, unsigned capacity);

// What to do with a new connection. When every slot is taken, one from an
// address holding few takes the slot of the oldest request whose headers are
// still unfinished (makeRoom): a slow request never keeps out a complete one.
enum class Admission { admit, makeRoom, refuse };
Admission admitConnection(unsigned open, unsigned heldByAddress, unsigned capacity, unsigned perAddress);

// An IPv4 or IPv6 peer address as text ("" for other families).
std::string addressText(const sockaddr* peer);

// The peer's address and port: one live connection's own name.
std::string endpointText(const sockaddr* peer);

// The open connections per client network (client_network.h: an IPv6 /64
// is one), under its own lock.
class ConnectionSlots {
 public:
  void setCapacity(unsigned capacity, unsigned perAddress = static_cast<unsigned>(-1));
  Admission admission(const std::string& address);
  bool admits(const std::string& address) { return admission(address) == Admission::admit; }
  // Decides and, unless refused, holds the slot for that endpoint at once:
  // with several threads accepting, a check now and a count later let two
  // connections of one address through on its last slot. opened() takes the
  // hold over; one never taken (the connection failed before it started)
  // runs out after a while.
  Admission reserve(const std::string& address, const std::string& endpoint);
  void cancelHold(const std::string& endpoint);
  void opened(const std::string& address, const std::string& endpoint = "");
  void closed(const std::string& address);
  unsigned heldBy(const std::string& address);

 private:
  std::mutex mutex_;
  unsigned capacity_ = 0;
  unsigned perAddress_ = static_cast<unsigned>(-1);
  unsigned open_ = 0;
  std::unordered_map<std::string, unsigned> held_;
  struct Hold {
    std::string network;
    std::chrono::steady_clock::time_point since;
  };
  std::unordered_map<std::string, Hold> holds_;

  void takeSlot(const std::string& network);
  void giveSlotBack(const std::string& network);
  void dropStaleHolds(std::chrono::steady_clock::time_point now);
};
