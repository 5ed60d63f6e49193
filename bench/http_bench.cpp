// readUrl beside its peers, all fetching from the same loopback HTTP server on
// port 80 over a new connection per request:
//   curlGet      a reused libcurl easy handle that may not reuse connections, HTTP/1.0;
//   socketFloor  connect, one send of the same request, 512-byte receives into
//                a preallocated buffer until the close, nothing parsed.
// The server serves /poll (a 100-byte body), /1m (1 MiB) and /10m (10 MiB).
// Usage: http_bench --host=127.x.y.z [--benchmark_... flags]
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "http_client.h"

namespace {

constexpr std::size_t receiveChunk = 512;
constexpr std::size_t headerRoom = std::size_t{64} * 1024;

std::string serverHost;

std::string requestFor(const char* path) { return "GET " + std::string(path) + " HTTP/1.0\r\nHost: " + serverHost + "\r\n\r\n"; }

void countBytes(benchmark::State& state, std::size_t bodyBytes) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(bodyBytes));
}

void readUrlGet(benchmark::State& state, const char* path, std::size_t bodyBytes) {
  std::string url = "http://" + serverHost + path;
  for (auto _ : state) {
    std::int32_t bodyLength = 0;
    std::unique_ptr<char[]> headers;
    std::unique_ptr<char[]> body = readUrl(url.c_str(), bodyLength, headers);
    if (static_cast<std::size_t>(bodyLength) != bodyBytes) {
      state.SkipWithError("readUrl returned a body of the wrong length");
      break;
    }
    benchmark::DoNotOptimize(body.get());
  }
  countBytes(state, bodyBytes);
}

std::size_t appendToBody(char* data, std::size_t size, std::size_t count, void* body) {
  static_cast<std::string*>(body)->append(data, size * count);
  return size * count;
}

void curlGet(benchmark::State& state, const char* path, std::size_t bodyBytes) {
  std::string url = "http://" + serverHost + path;
  std::string body;
  CURL* easy = curl_easy_init();
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_PROXY, "");  // never a proxy from the environment
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(requestTimeoutMs));
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &appendToBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);
  for (auto _ : state) {
    // A fresh body each time, as readUrl hands back a fresh buffer.
    std::string().swap(body);
    CURLcode result = curl_easy_perform(easy);
    if (result != CURLE_OK || body.size() != bodyBytes) {
      state.SkipWithError(result != CURLE_OK ? curl_easy_strerror(result) : "libcurl returned a body of the wrong length");
      break;
    }
    benchmark::DoNotOptimize(body.data());
  }
  curl_easy_cleanup(easy);
  countBytes(state, bodyBytes);
}

// Reads until the close; false when the connection failed or the reply did not fit.
bool fetchRaw(const sockaddr_in& server, const std::string& request, std::vector<char>& buffer, std::size_t& total) {
  int fd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (fd < 0) return false;
  bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) == 0;
  if (connected) ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  total = 0;
  ssize_t got = 0;
  while (connected && total < buffer.size() &&
         (got = ::recv(fd, buffer.data() + total, std::min(receiveChunk, buffer.size() - total), 0)) > 0) {
    total += static_cast<std::size_t>(got);
  }
  ::close(fd);
  return connected && total < buffer.size();
}

void socketFloor(benchmark::State& state, const char* path, std::size_t bodyBytes) {
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(80);
  ::inet_pton(AF_INET, serverHost.c_str(), &server.sin_addr);
  std::string request = requestFor(path);
  std::vector<char> buffer(bodyBytes + headerRoom);
  for (auto _ : state) {
    std::size_t total = 0;
    if (!fetchRaw(server, request, buffer, total) || total <= bodyBytes) {
      state.SkipWithError("the raw fetch failed or the reply was too short");
      break;
    }
    benchmark::DoNotOptimize(buffer.data());
  }
  countBytes(state, bodyBytes);
}

constexpr std::size_t pollBytes = 100;
constexpr std::size_t oneMiB = std::size_t{1024} * 1024;

}  // namespace

// Network figures are wall-clock time: the client mostly waits.
BENCHMARK_CAPTURE(readUrlGet, poll, "/poll", pollBytes)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(curlGet, poll, "/poll", pollBytes)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(socketFloor, poll, "/poll", pollBytes)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(readUrlGet, 1MiB, "/1m", oneMiB)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(socketFloor, 1MiB, "/1m", oneMiB)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(readUrlGet, 10MiB, "/10m", 10 * oneMiB)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(socketFloor, 10MiB, "/10m", 10 * oneMiB)->UseRealTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  for (int at = 1; at < argc; ++at) {
    if (std::strncmp(argv[at], "--host=", 7) == 0) {
      serverHost = argv[at] + 7;
    } else {
      std::fprintf(stderr, "http_bench: unknown argument %s\n", argv[at]);  // NOLINT(cert-err33-c): exits next
      return 2;
    }
  }
  in_addr parsed{};
  if (::inet_pton(AF_INET, serverHost.c_str(), &parsed) != 1) {
    // NOLINTNEXTLINE(cert-err33-c): exits next
    std::fprintf(stderr, "usage: http_bench --host=LOOPBACK_ADDRESS [--benchmark_... flags]\n"
                         "A server on LOOPBACK_ADDRESS:80 must serve /poll (100 bytes), /1m and /10m.\n");
    return 2;
  }
  curl_global_init(CURL_GLOBAL_DEFAULT);
  // readUrl prints its request on every call; like the notifier, which has no
  // console, the benchmark sends that nowhere and its own table to stderr.
  benchmark::ConsoleReporter table(benchmark::ConsoleReporter::OO_Tabular);
  table.SetOutputStream(&std::cerr);
  table.SetErrorStream(&std::cerr);
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
  benchmark::RunSpecifiedBenchmarks(&table);
  benchmark::Shutdown();
  curl_global_cleanup();
  return 0;
}
