#include "http/connection_slots.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include "http/client_network.h"

bool admitsConnection(unsigned open, unsigned heldByAddress, unsigned capacity) {
  unsigned reserved = capacity / 4;
  return heldByAddress < fewConnections || open + reserved < capacity;
}

Admission admitConnection(unsigned open, unsigned heldByAddress, unsigned capacity, unsigned perAddress) {
  if (heldByAddress >= perAddress) return Admission::refuse;
  if (open >= capacity) return heldByAddress < fewConnections ? Admission::makeRoom : Admission::refuse;
  return admitsConnection(open, heldByAddress, capacity) ? Admission::admit : Admission::refuse;
}

std::string addressText(const sockaddr* peer) {
  char text[INET6_ADDRSTRLEN] = {};
  if (peer == nullptr) return "";
  if (peer->sa_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(peer)->sin_addr, text, sizeof text);
  } else if (peer->sa_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(peer)->sin6_addr, text, sizeof text);
  }
  return text;
}

std::string endpointText(const sockaddr* peer) {
  if (peer == nullptr) return "";
  unsigned port = 0;
  if (peer->sa_family == AF_INET) port = ntohs(reinterpret_cast<const sockaddr_in*>(peer)->sin_port);
  if (peer->sa_family == AF_INET6) port = ntohs(reinterpret_cast<const sockaddr_in6*>(peer)->sin6_port);
  return addressText(peer) + " " + std::to_string(port);
}

namespace {
// Longer than any start of a connection the server library lets through.
constexpr std::chrono::seconds holdLifetime{10};
}  // namespace

void ConnectionSlots::setCapacity(unsigned capacity, unsigned perAddress) {
  std::lock_guard<std::mutex> lock(mutex_);
  capacity_ = capacity;
  perAddress_ = perAddress;
}

Admission ConnectionSlots::admission(const std::string& address) {
  std::string network = clientNetwork(address);
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = held_.find(network);
  return admitConnection(open_, found == held_.end() ? 0 : found->second, capacity_, perAddress_);
}

Admission ConnectionSlots::reserve(const std::string& address, const std::string& endpoint) {
  std::string network = clientNetwork(address);
  auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  dropStaleHolds(now);
  auto found = held_.find(network);
  Admission admission = admitConnection(open_, found == held_.end() ? 0 : found->second, capacity_, perAddress_);
  if (admission != Admission::refuse && holds_.emplace(endpoint, Hold{network, now}).second) takeSlot(network);
  return admission;
}

void ConnectionSlots::cancelHold(const std::string& endpoint) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto hold = holds_.find(endpoint);
  if (hold == holds_.end()) return;
  giveSlotBack(hold->second.network);
  holds_.erase(hold);
}

void ConnectionSlots::opened(const std::string& address, const std::string& endpoint) {
  std::string network = clientNetwork(address);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!endpoint.empty() && holds_.erase(endpoint) == 1) return;  // counted when it was let in
  takeSlot(network);
}

void ConnectionSlots::closed(const std::string& address) {
  std::string network = clientNetwork(address);
  std::lock_guard<std::mutex> lock(mutex_);
  giveSlotBack(network);
}

void ConnectionSlots::takeSlot(const std::string& network) {
  ++open_;
  ++held_[network];
}

void ConnectionSlots::giveSlotBack(const std::string& network) {
  auto found = held_.find(network);
  if (found == held_.end()) return;
  --open_;
  if (--found->second == 0) held_.erase(found);
}

void ConnectionSlots::dropStaleHolds(std::chrono::steady_clock::time_point now) {
  for (auto hold = holds_.begin(); hold != holds_.end();) {
    if (now - hold->second.since < holdLifetime) {
      ++hold;
      continue;
    }
    giveSlotBack(hold->second.network);
    hold = holds_.erase(hold);
  }
}

unsigned ConnectionSlots::heldBy(const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = held_.find(address);
  return found == held_.end() ? 0 : found->second;
}
