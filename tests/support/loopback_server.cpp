#include "loopback_server.h"

#include <chrono>
#include <algorithm>
#include <cstring>
#include <random>

#include "test_sockets.h"

namespace {

constexpr int stepMs = 50;

std::uint32_t loopbackAddress(int second, int third, int fourth) {
  const unsigned char bytes[4] = {127, static_cast<unsigned char>(second), static_cast<unsigned char>(third),
                                  static_cast<unsigned char>(fourth)};
  std::uint32_t address;
  std::memcpy(&address, bytes, 4);
  return address;
}

bool sendAll(std::uintptr_t connection, const char* data, std::size_t length) {
  // Generous: a client under Wine may take many seconds to read a large answer.
  return sendAllWithin(connection, data, length, 30000);
}

// Reads the request up to its blank line (or until the client stops sending).
std::string readRequest(std::uintptr_t connection) {
  std::string request;
  char chunk[4096];
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (request.find("\r\n\r\n") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    int got = receiveWithin(connection, chunk, sizeof chunk, 200);
    if (got == receiveTimedOut) continue;
    if (got <= 0) break;
    request.append(chunk, static_cast<std::size_t>(got));
  }
  return request;
}

}  // namespace

std::string httpResponse(const std::string& body, const std::string& status) {
  return "HTTP/1.0 " + status + "\r\nContent-Type: text/plain\r\n\r\n" + body;
}

LoopbackServer::LoopbackServer(std::vector<ScriptedResponse> responses, const char* fixedAddress)
    : responses_(std::move(responses)) {
  wsaStartup(0x0202);
  std::uint32_t address = 0;
  if (fixedAddress != nullptr && parseDottedAddress(fixedAddress, address)) {
    // Another process may hold the address for a while: up to 20 s of retries.
    for (int attempt = 0; attempt < 400 && listener_ == 0; ++attempt) {
      listener_ = listenTcp(address, 80);
      if (listener_ == 0) std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
    }
    if (listener_ != 0) host_ = fixedAddress;
    if (listener_ != 0) thread_ = std::thread([this] { serve(); });
    return;
  }
  // A random 127.x.y.n per server: parallel test processes, and sockets left
  // in TIME_WAIT by earlier servers, do not collide on port 80.
  std::random_device random;
  int second = static_cast<int>(random() % 250) + 1;
  int third = static_cast<int>(random() % 250) + 1;
  for (int fourth = 1; fourth <= 250 && listener_ == 0; ++fourth) {
    listener_ = listenTcp(loopbackAddress(second, third, fourth), 80);
    if (listener_ != 0) {
      host_ = "127." + std::to_string(second) + "." + std::to_string(third) + "." + std::to_string(fourth);
    }
  }
  if (listener_ != 0) thread_ = std::thread([this] { serve(); });
}

LoopbackServer::~LoopbackServer() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  closeSocket(listener_);
  wsaCleanup();
}

std::vector<std::string> LoopbackServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void LoopbackServer::serve() {
  std::size_t served = 0;
  while (!stopping_) {
    std::uintptr_t connection = acceptConnection(listener_, stepMs);
    if (connection == 0) continue;
    std::string request = readRequest(connection);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(request);
    }
    ScriptedResponse response = responses_.empty() ? ScriptedResponse{} : responses_[std::min(served, responses_.size() - 1)];
    ++served;
    answer(connection, response);
  }
}

void LoopbackServer::answer(std::uintptr_t connection, const ScriptedResponse& response) {
  std::size_t piece = response.chunkSize == 0 ? response.bytes.size() : response.chunkSize;
  bool peerGone = false;
  for (std::size_t at = 0; at < response.bytes.size() && !stopping_ && !peerGone; at += piece) {
    peerGone = !sendAll(connection, response.bytes.data() + at, std::min(piece, response.bytes.size() - at));
    if (response.pauseMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(response.pauseMs));
  }
  if (response.endlessBytes > 0) {
    std::string filler(response.endlessBytes, 'x');
    // Bounded: ends when the client closes, the server stops, or after 64 MiB per connection.
    for (std::size_t total = 0; !stopping_ && !peerGone && total < (64u << 20); total += filler.size()) {
      peerGone = !sendAll(connection, filler.data(), filler.size());
      if (response.pauseMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(response.pauseMs));
    }
  }
  if (response.holdOpen) {
    char sink[512];
    // Until the client gives up (its close reads as 0) or the server stops.
    while (!stopping_) {
      int got = receiveWithin(connection, sink, sizeof sink, stepMs);
      if (got == receiveClosed || got == receiveFailed) break;
    }
  }
  if (response.resetAtEnd) {
    resetConnection(connection);
  } else {
    closeSocket(connection);
  }
}
