#include "http_client.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host_lookup.h"
#include "sockets.h"
#include "sockets_common.h"

int requestTimeoutMs = 3500;

namespace {

constexpr std::uint16_t httpPort = 80;
constexpr int chunkSize = 512;

using Clock = std::chrono::steady_clock;

// Closes the connection on every path out of readUrl.
struct SocketCloser {
  SocketHandle socket;
  ~SocketCloser() { closeSocket(socket); }
};

std::unique_ptr<char[]> copyText(const char* bytes, std::size_t length) {
  std::unique_ptr<char[]> text(new char[length + 1]);
  if (length > 0) std::memcpy(text.get(), bytes, length);
  text[length] = '\0';
  return text;
}

bool isRequestSafe(unsigned char byte) { return byte > 0x20 && byte < 0x7F; }


// The response as it arrives. It grows with realloc, which moves a large
// block by remapping its pages instead of copying them.
struct ResponseBuffer {
  char* bytes = nullptr;
  std::size_t size = 0;
  std::size_t capacity = 0;
  ~ResponseBuffer() { std::free(bytes); }
};

// Room for one more receive and the NUL behind it.
bool makeRoom(ResponseBuffer& response) {
  std::size_t needed = response.size + chunkSize + 1;
  if (needed <= response.capacity) return true;
  // Doubling keeps the growth linear; the cap (and the one receive that finds
  // it exceeded) bounds what is ever held.
  std::size_t capacity = std::min(std::max(needed, 2 * response.capacity), maxResponseBytes + chunkSize + 1);
  void* grown = std::realloc(response.bytes, capacity);
  if (grown == nullptr) return false;
  response.bytes = static_cast<char*>(grown);
  response.capacity = capacity;
  return true;
}

// Reads until the server closes, a receive fails, the deadline passes or the
// cap is exceeded, and ends the bytes with a NUL. False means the response is
// to be treated as a failure.
bool receiveResponse(SocketHandle socket, Clock::time_point deadline, ResponseBuffer& response) {
  for (;;) {
    if (!makeRoom(response)) return false;
    int got = receiveWithin(socket, response.bytes + response.size, chunkSize, millisecondsUntil(deadline));
    if (got == receiveTimedOut) return false;
    // A failed receive ends the response like the server's close.
    if (got <= 0) break;
    if (response.size + static_cast<std::size_t>(got) > maxResponseBytes) return false;
    response.size += static_cast<std::size_t>(got);
  }
  response.bytes[response.size] = '\0';
  return true;
}

}  // namespace

void splitUrl(const std::string& url, std::string& host, std::string& path) {
  std::string rest = url;
  if (rest.compare(0, 7, "http://") == 0) rest.erase(0, 7);
  if (rest.compare(0, 8, "https://") == 0) rest.erase(0, 8);
  std::size_t slash = rest.find('/');
  if (slash == std::string::npos) {
    host = rest;
    path = "/";
  } else {
    host = rest.substr(0, slash);
    path = rest.substr(slash);
  }
}

namespace {

SocketHandle connectBefore(const char* hostName, std::uint16_t port, Clock::time_point deadline) {
  SocketHandle socket = openTcpSocket();
  if (socket == 0) return 0;
  std::uint32_t address = 0;
  // A dotted-decimal address needs no lookup at all, forward or reverse.
  if (!parseDottedAddress(hostName, address) && !lookUpHostBefore(hostName, deadline, address)) {
    closeSocket(socket);
    return 0;
  }
  if (!connectWithin(socket, address, port, millisecondsUntil(deadline))) {
    closeSocket(socket);
    return 0;
  }
  return socket;
}

}  // namespace

std::uintptr_t connectToHost(const char* hostName, std::uint16_t port) {
  return connectBefore(hostName, port, Clock::now() + std::chrono::milliseconds(requestTimeoutMs));
}

std::int32_t findBodyOffset(const char* text) {
  for (const char* terminator : {"\r\n\r\n", "\n\r\n\r"}) {
    if (const char* found = std::strstr(text, terminator)) return static_cast<std::int32_t>(found - text) + 4;
  }
  return -1;
}

std::string percentEncode(std::string_view text, bool (*keep)(unsigned char)) {
  static const char hex[] = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(text.size());
  for (unsigned char byte : text) {
    if (keep(byte)) {
      encoded += static_cast<char>(byte);
    } else {
      encoded += '%';
      encoded += hex[byte >> 4];
      encoded += hex[byte & 0x0F];
    }
  }
  return encoded;
}

std::string buildRequest(const std::string& host, const std::string& path) {
  return "GET " + percentEncode(path, isRequestSafe) + " HTTP/1.0\r\nHost: " + percentEncode(host, isRequestSafe) +
         "\r\n\r\n";
}

std::unique_ptr<char[]> cutResponse(const char* response, std::size_t size, std::int32_t& bodyLength,
                                    std::unique_ptr<char[]>& headers) {
  std::int32_t headerLength = findBodyOffset(response);
  if (headerLength < 0) {
    bodyLength = 0;
    headers = copyText("", 0);
    return copyText("", 0);
  }
  std::size_t bodyBytes = size - static_cast<std::size_t>(headerLength);
  bodyLength = static_cast<std::int32_t>(bodyBytes);
  headers = copyText(response, static_cast<std::size_t>(headerLength));
  return copyText(response + headerLength, bodyBytes);
}

std::unique_ptr<char[]> readUrl(const char* url, std::int32_t& bodyLength, std::unique_ptr<char[]>& headers) {
  auto deadline = Clock::now() + std::chrono::milliseconds(requestTimeoutMs);
  std::string host, path;
  splitUrl(url, host, path);
  // The connect shares the request's one deadline.
  SocketCloser connection{connectBefore(host.c_str(), httpPort, deadline)};

  std::string request = buildRequest(host, path);
  bool sent = connection.socket != 0 &&
              sendAllWithin(connection.socket, request.data(), request.size(), millisecondsUntil(deadline));
  // Printed whether or not it was sent: log readers expect it for every request.
  std::printf("Buffer being sent:\n%s", request.c_str());
  std::fflush(stdout);  // NOLINT(cert-err33-c): diagnostics only; a failed write to standard output is passed over

  ResponseBuffer response;
  if (!sent || !receiveResponse(connection.socket, deadline, response)) return cutResponse("", 0, bodyLength, headers);
  return cutResponse(response.bytes, response.size, bodyLength, headers);
}
