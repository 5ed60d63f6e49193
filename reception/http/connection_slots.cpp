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

void ConnectionSlots::opened(const std::string& address) {
  std::string network = clientNetwork(address);
  std::lock_guard<std::mutex> lock(mutex_);
  ++open_;
  ++held_[network];
}

void ConnectionSlots::closed(const std::string& address) {
  std::string network = clientNetwork(address);
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = held_.find(network);
  if (found == held_.end()) return;
  --open_;
  if (--found->second == 0) held_.erase(found);
}

unsigned ConnectionSlots::heldBy(const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = held_.find(address);
  return found == held_.end() ? 0 : found->second;
}
