// A real HTTP server on a loopback address, port 80, for tests: it records
// each request's bytes and answers with a scripted response. It listens
// before the constructor returns, so a client may connect at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct ScriptedResponse {
  std::string bytes;          // what to send
  std::size_t chunkSize = 0;  // send in pieces of this size (0: one send)
  int pauseMs = 0;            // pause between pieces
  bool resetAtEnd = false;    // end with an RST instead of a FIN
  bool holdOpen = false;      // after sending, keep the connection open until stopped
  std::size_t endlessBytes = 0;  // then keep sending this many bytes per piece until the peer goes
};

class LoopbackServer {
 public:
  // Each connection gets the next response; the last one repeats. Without a
  // fixedAddress (dotted decimal) the server takes a random 127.x.y.z.
  explicit LoopbackServer(std::vector<ScriptedResponse> responses, const char* fixedAddress = nullptr);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  const std::string& host() const { return host_; }  // dotted-decimal loopback address
  std::string baseUrl() const { return "http://" + host_ + "/api/reception/"; }
  std::vector<std::string> requests() const;
  bool listening() const { return listener_ != 0; }

 private:
  void serve();
  void answer(std::uintptr_t connection, const ScriptedResponse& response);

  std::vector<ScriptedResponse> responses_;
  std::string host_;
  std::uintptr_t listener_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

// Answer with a status line, one header line, the blank line and body.
std::string httpResponse(const std::string& body, const std::string& status = "200 OK");
