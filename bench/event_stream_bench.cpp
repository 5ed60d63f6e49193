// Hosts' open pages: N event streams held open against one reception
// service, then guests announced one after another. Prints Markdown rows
// with their targets: the service's resident memory and threads with the
// streams open (against before), the time from the desk's announcement to
// the "announced" event at each of the host's open pages (p50, p99), and the
// notifier poll's p99 with the pages open against a second service without
// them, polled in turn. The pages are opened and closed again in each of
// several rounds.
//
//   event_stream_bench EXECUTABLE [STREAMS] [ANNOUNCEMENTS] [ROUNDS] [POLLS]
//
// Each host has 8 pages open (the per-address cap) from a loopback address
// of its own (127.2.x.y), as hosts' browsers come from their own machines.
#include <exception>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>
#include <sodium.h>

#include "reception_client.h"
#include "store/accounts.h"
#include "store/host_sessions.h"
#include "store/schema.h"
#include "store/staff.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int pagesPerHost = 8;

std::string sourceAddress(int host) { return "127.2." + std::to_string(host / 250) + "." + std::to_string(host % 250 + 1); }

int connectFrom(const std::string& source, std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  ::inet_pton(AF_INET, source.c_str(), &local.sin_addr);
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(port);
  ::inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// One request on a connection of its own; the whole answer.
std::string roundTrip(std::uint16_t port, const std::string& request) {
  int fd = connectFrom("127.0.0.1", port);
  if (fd < 0) return "";
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string answer;
  char buffer[4096];
  for (ssize_t got; (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, static_cast<std::size_t>(got));
  ::close(fd);
  return answer;
}

std::string post(std::uint16_t port, const std::string& target, const std::string& body, const std::string& cookie) {
  return roundTrip(port, "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Type: application/json\r\n" +
                            cookie + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
}

long statusField(pid_t pid, const char* field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::string(field).size()));
  }
  return -1;
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<std::size_t>(p * static_cast<double>(values.size())))];
}

// A notifier's poll as it sends it (HTTP/1.0, a new connection each), timed; count of them, in ms.
// The poll's latency, in ms, at two services in turn, poll for poll and in
// alternating order, so that other work on a shared machine falls on both
// alike: count polls of each.
void pairedPolls(std::uint16_t first, std::uint16_t second, int count, std::vector<double>& atFirst, std::vector<double>& atSecond) {
  std::string request = std::string("GET /api/reception/getNotification?key=") + accessKey +
                        "&fn=Bench&ln=H00000 HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  auto timed = [&request](std::uint16_t port, std::vector<double>& latencies) {
    Clock::time_point start = Clock::now();
    if (roundTrip(port, request).rfind("HTTP/1.1 200", 0) != 0 && latencies.empty()) (void)std::fprintf(stderr, "a poll failed\n");
    latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  };
  for (int i = 0; i < count; ++i) {
    timed(i % 2 == 0 ? first : second, i % 2 == 0 ? atFirst : atSecond);
    timed(i % 2 == 0 ? second : first, i % 2 == 0 ? atSecond : atFirst);
  }
}

struct Page {
  int fd = -1;
  int host = 0;
  std::string text;
};

// Reads what has arrived on every page, for at most the time given.
void readPages(std::vector<Page>& pages, int waitMs) {
  std::vector<pollfd> ready;
  ready.reserve(pages.size());
  for (const Page& page : pages) ready.push_back({page.fd, POLLIN, 0});
  if (::poll(ready.data(), ready.size(), waitMs) <= 0) return;
  char buffer[8192];
  for (std::size_t i = 0; i < ready.size(); ++i) {
    if ((ready[i].revents & POLLIN) == 0) continue;
    ssize_t got = ::recv(pages[i].fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got > 0) pages[i].text.append(buffer, static_cast<std::size_t>(got));
  }
}

double loadAverage() {
  std::ifstream load("/proc/loadavg");
  double minute = 0;
  load >> minute;
  return minute;
}

// One page per session, from its host's own address; waits for the snapshots.
std::vector<Page> openPages(std::uint16_t port, const std::vector<std::string>& tokens, int streams) {
  std::vector<Page> pages;
  for (int i = 0; i < static_cast<int>(tokens.size()) && i < streams; ++i) {
    int host = i / pagesPerHost;
    int fd = connectFrom(sourceAddress(host), port);
    if (fd < 0) break;
    std::string request = "GET /api/me/events HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: vestibra_host=" +
                          tokens[static_cast<std::size_t>(i)] + "\r\n\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    pages.push_back({fd, host, ""});
  }
  auto allOpen = [&pages] {
    return std::all_of(pages.begin(), pages.end(), [](const Page& page) {
      return page.text.find("event: snapshot") != std::string::npos || page.text.find("HTTP/1.1 4") != std::string::npos;
    });
  };
  for (auto deadline = Clock::now() + std::chrono::seconds(30); Clock::now() < deadline && !allOpen();) readPages(pages, 100);
  return pages;
}

// Announces one guest for the host and times the event's arrival at each of
// its pages (at most 5 s); the pages that never saw it.
int announce(std::uint16_t port, const std::string& deskCookie, std::int64_t staffId, int host, const std::string& guest,
             std::vector<Page>& pages, std::vector<double>& latenciesMs, int& failed) {
  std::vector<std::size_t> seen(pages.size());
  for (std::size_t i = 0; i < pages.size(); ++i) seen[i] = pages[i].text.size();
  std::string body = nlohmann::json{{"staffId", staffId}, {"guestName", guest}}.dump();
  Clock::time_point start = Clock::now();
  std::string answer = post(port, "/api/desk/notifications", body, deskCookie);
  // The desk's write limit (429) paces announcements faster than a desk makes them.
  for (int retry = 0; retry < 5 && answer.rfind("HTTP/1.1 429", 0) == 0; ++retry) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    start = Clock::now();
    answer = post(port, "/api/desk/notifications", body, deskCookie);
  }
  if (answer.rfind("HTTP/1.1 201", 0) != 0) {
    ++failed;
    (void)std::fprintf(stderr, "announcing %s: %s\n", guest.c_str(), answer.substr(0, answer.find('\r')).c_str());
  }
  std::vector<bool> arrived(pages.size(), false);
  int waiting = 0;
  for (const Page& page : pages) waiting += page.host == host ? 1 : 0;
  for (auto deadline = start + std::chrono::seconds(5); waiting > 0 && Clock::now() < deadline;) {
    readPages(pages, 20);
    for (std::size_t i = 0; i < pages.size(); ++i) {
      if (pages[i].host != host || arrived[i] || pages[i].text.find("\"" + guest + "\"", seen[i]) == std::string::npos) continue;
      arrived[i] = true;
      --waiting;
      latenciesMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
  }
  return waiting;
}

int benchmark(int argc, char** argv) {
  if (argc < 2) {
    (void)std::fprintf(stderr, "usage: event_stream_bench EXECUTABLE [STREAMS] [ANNOUNCEMENTS] [ROUNDS] [POLLS]\n");
    return 2;
  }
  int streams = argc > 2 ? std::stoi(argv[2]) : 2000;
  int announcements = argc > 3 ? std::stoi(argv[3]) : 200;
  int rounds = std::max(argc > 4 ? std::stoi(argv[4]) : 6, 1);
  int pollsPerHalf = std::max(argc > 5 ? std::stoi(argv[5]) : 2000, 100);
  int hosts = (streams + pagesPerHost - 1) / pagesPerHost;
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);

  // The staff, one host session per page and the desk's account, written before the service starts.
  std::filesystem::path folder = std::filesystem::temp_directory_path() / ("vestibra-streams-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  std::string database = (folder / "reception.db").string();
  if (!initAccounts() || !openStorage(database).empty()) return 1;
  std::vector<std::int64_t> staffIds;
  std::vector<std::string> tokens;
  for (int host = 0; host < hosts; ++host) {
    StaffRow added;
    char last[16];
    (void)std::snprintf(last, sizeof last, "H%05d", host);
    if (addStaff("Bench", last, added) != Outcome::ok) return 1;
    staffIds.push_back(added.id);
    for (int page = 0; page < pagesPerHost; ++page) {
      std::string token;
      if (startHostSession(added.id, "password", token) != Outcome::ok) return 1;
      tokens.push_back(token);
    }
  }
  DeskAccount desk;
  passwordCost = {crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN};
  if (addAccount("bench", "admin", "bench-password", desk) != Outcome::ok) return 1;
  closeStorage();

  std::mt19937 random(std::random_device{}());
  auto port = static_cast<std::uint16_t>(20000 + random() % 12000);
  std::string listen = "127.0.0.1:" + std::to_string(port);
  // The same service on a copy of the database, never with a page open: the poll's "without".
  std::string peerDatabase = (folder / "peer.db").string();
  std::filesystem::copy_file(database, peerDatabase);
  auto peerPort = static_cast<std::uint16_t>(port + 1);
  std::string peerListen = "127.0.0.1:" + std::to_string(peerPort);
  auto startService = [&argv, streams](const std::string& at, const std::string& file) {
    pid_t child = ::fork();
    if (child == 0) {
      ::dup2(2, 1);  // the services' log is not part of the table
      ::execl(argv[1], argv[1], "--listen", at.c_str(), "--database", file.c_str(), "--max-event-streams",
              std::to_string(streams + 100).c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    return child;
  };
  pid_t service = startService(listen, database);
  pid_t peer = startService(peerListen, peerDatabase);
  auto stopService = [&] {
    for (pid_t child : {service, peer}) ::kill(child, SIGTERM);
    for (pid_t child : {service, peer}) ::waitpid(child, nullptr, 0);
    std::filesystem::remove_all(folder);
  };
  std::string login;
  for (int attempt = 0; attempt < 100 && login.find("Set-Cookie") == std::string::npos; ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    login = post(port, "/api/desk/login", R"({"name": "bench", "password": "bench-password"})", "");
  }
  std::size_t cookieAt = login.find("vestibra_session=");
  if (cookieAt == std::string::npos) {
    (void)std::fprintf(stderr, "the desk login failed\n");
    stopService();
    return 1;
  }
  std::string deskCookie = "Cookie: " + login.substr(cookieAt, login.find(';', cookieAt) - cookieAt) + "\r\n";
  std::string peerPoll = std::string("GET /api/reception/getNotification?key=") + accessKey + "&fn=Bench&ln=H00000 HTTP/1.0\r\n\r\n";
  for (int attempt = 0; attempt < 100 && roundTrip(peerPort, peerPoll).rfind("HTTP/1.1 200", 0) != 0; ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  double loadBefore = loadAverage();

  // In each round the pages are opened anew; the poll's ratio is taken
  // within each round and the median of the rounds' ratios reported.
  std::vector<double> pollRatios;
  std::vector<double> allWith, allWithout;
  std::vector<double> latenciesMs;
  std::vector<std::size_t> opened;
  int missed = 0;
  int failedAnnouncements = 0;
  long rssBefore = 0, rssOpen = 0, threadsBefore = 0, threadsOpen = 0;
  for (int round = 0; round < rounds; ++round) {
    if (round == 0) {
      rssBefore = statusField(service, "VmRSS:");
      threadsBefore = statusField(service, "Threads:");
    }
    std::vector<Page> pages = openPages(port, tokens, streams);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    if (round == 0) {
      rssOpen = statusField(service, "VmRSS:");
      threadsOpen = statusField(service, "Threads:");
    }
    opened.push_back(static_cast<std::size_t>(std::count_if(pages.begin(), pages.end(), [](const Page& page) {
      return page.text.find("event: snapshot") != std::string::npos;
    })));
    std::vector<double> with, without;
    pairedPolls(port, peerPort, pollsPerHalf, with, without);
    double withP99 = percentile(with, 0.99);
    double withoutP99 = percentile(without, 0.99);
    allWith.insert(allWith.end(), with.begin(), with.end());
    allWithout.insert(allWithout.end(), without.begin(), without.end());
    for (int n = 0; n < announcements / rounds; ++n) {
      int host = static_cast<int>(random() % static_cast<unsigned>(hosts));
      missed += announce(port, deskCookie, staffIds[static_cast<std::size_t>(host)], host,
                         "Guest " + std::to_string(round) + "-" + std::to_string(n), pages, latenciesMs, failedAnnouncements);
    }
    for (const Page& page : pages) ::close(page.fd);
    // The service notices the closed pages at once; the next round opens as many again.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    pollRatios.push_back(withP99 / withoutP99);
    (void)std::fprintf(stderr, "round %d of %d: %zu pages, poll p99 %.2f ms with them, %.2f ms without\n", round + 1,
                       rounds, opened.back(), withP99, withoutP99);
  }
  stopService();

  double rssDifferenceMB = static_cast<double>(rssOpen - rssBefore) * 1024.0 / 1e6;
  double perPageKB = static_cast<double>(rssOpen - rssBefore) * 1024.0 / 1000.0 / static_cast<double>(std::max<std::size_t>(opened.front(), 1));
  double p99 = percentile(latenciesMs, 0.99);
  double ratio = percentile(pollRatios, 0.5);
  auto yes = [](bool met) { return met ? "yes" : "no"; };
  std::string ratios;
  std::vector<double> sorted = pollRatios;
  std::sort(sorted.begin(), sorted.end());
  for (double each : sorted) ratios += (ratios.empty() ? "" : ", ") + std::to_string(each).substr(0, 4);
  std::printf("| Measure | Figure | Value | Target | Met |\n|---|---|---|---|---|\n");
  std::printf("| host pages | event streams open in each of %d rounds (of %d asked) | %zu to %zu | all | %s |\n", rounds, streams,
              *std::min_element(opened.begin(), opened.end()), *std::max_element(opened.begin(), opened.end()),
              yes(*std::min_element(opened.begin(), opened.end()) == static_cast<std::size_t>(streams)));
  std::printf("| host pages | service resident memory with them open, above before (first round: %.1f MiB, %.1f MiB) | %.1f MB, %.1f kB a page | <= 20 MB | %s |\n",
              static_cast<double>(rssBefore) / 1024.0, static_cast<double>(rssOpen) / 1024.0, rssDifferenceMB, perPageKB,
              yes(rssDifferenceMB <= 20.0));
  std::printf("| host pages | service threads: before, with them open | %ld, %ld | none a page | %s |\n", threadsBefore, threadsOpen,
              yes(threadsOpen - threadsBefore <= 1));
  std::printf("| host pages | announcement to \"announced\" event at each of the host's pages, p50 / p99 (%zu events, %d missed, %d announcements failed) | %.1f ms / %.1f ms | p99 <= 1 s | %s |\n",
              latenciesMs.size(), missed, failedAnnouncements, percentile(latenciesMs, 0.5), p99,
              yes(p99 <= 1000 && missed == 0 && failedAnnouncements == 0));
  std::printf("| host pages | notifier poll p99 (%d polls each, alternating with the same service without pages) with them open / without, median of %d rounds (all: %s; all rounds' polls together: %.2f ms / %.2f ms) | %.2f | <= 1.2 | %s |\n",
              pollsPerHalf, rounds, ratios.c_str(), percentile(allWith, 0.99), percentile(allWithout, 0.99), ratio,
              yes(ratio <= 1.2));
  std::printf("\nLoad average (1 min) %.2f before, %.2f after, on %u CPUs.\n", loadBefore, loadAverage(),
              std::thread::hardware_concurrency());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return benchmark(argc, argv);
  } catch (const std::exception& error) {
    (void)std::fprintf(stderr, "event_stream_bench: %s\n", error.what());
    return 1;
  }
}
