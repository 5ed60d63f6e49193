// How many notifiers one reception service carries: N notifiers, each with a
// user of its own, poll every 12 s over a new HTTP/1.0 connection (as the
// notifier does: GET with a Host header and nothing else) while a desk
// announces and archives guests. Prints one Markdown row: polls answered per
// second, poll latency p50/p99, failures, the service's CPU share and
// resident memory. Exits with 1, saying why, when any poll or desk request
// failed: a row of failures is no measure of capacity.
//
//   capacity_bench prepare DATABASE N   the staff N00001..N and the desk account
//   capacity_bench run URL N PID WARMUP_S MEASURE_S
//
// Each notifier polls from a loopback source address of its own
// (127.1.x.y), as notifiers come from their own machines: the service's
// per-address limit and the ephemeral ports then apply as they would.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <queue>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "reception_client.h"
#include "store/accounts.h"
#include "store/schema.h"
#include "store/staff.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto pollInterval = std::chrono::seconds(12);
constexpr std::size_t maxInFlight = 1024;  // per polling thread
// Notifiers are split among this many threads, each with its own event loop,
// so that one loop's wake-ups on a loaded machine do not delay every poll.
constexpr std::size_t pollingThreads = 4;
constexpr long pollTimeoutMs = 10000;
constexpr const char* deskAccount = "capacity";
constexpr const char* deskPassword = "capacity-bench-desk";

std::string staffLastName(std::size_t index) {
  std::string digits = std::to_string(index + 1);
  return "N" + std::string(digits.size() < 5 ? 5 - digits.size() : 0, '0') + digits;
}

int prepare(const std::string& path, std::size_t count) {
  if (!initAccounts() || !openStorage(path).empty()) return 1;
  {
    WriteTransaction transaction;
    for (std::size_t i = 0; i < count; ++i) insertStaff(transaction, "Notifier", staffLastName(i), 0);
    transaction.commit();
  }
  DeskAccount added;
  bool ok = addAccount(deskAccount, "admin", deskPassword, added) == Outcome::ok;
  closeStorage();
  return ok ? 0 : 1;
}

size_t discard(char*, size_t size, size_t count, void*) { return size * count; }

struct Due {
  Clock::time_point at;
  std::size_t notifier;
  bool operator>(const Due& other) const { return at > other.at; }
};

struct Transfer {
  CURL* easy = nullptr;
  std::size_t notifier = 0;
  Clock::time_point due;  // when the notifier's timer fired
  std::string url;
};

// Binds the poll's socket to its notifier's own source address before the
// connect (libcurl's CURLOPT_INTERFACE would look the address up each time).
int bindSource(void* context, curl_socket_t socket, curlsocktype) {
  std::size_t notifier = static_cast<const Transfer*>(context)->notifier;
  sockaddr_in source{};
  source.sin_family = AF_INET;
  // 127.1.0.1 on, 250 a block: added, so that past 256 blocks the next octet counts on.
  source.sin_addr.s_addr = htonl((127u << 24) + (1u << 16) + (static_cast<unsigned>(notifier / 250) << 8) +
                                 static_cast<unsigned>(notifier % 250 + 1));
  // The port is then chosen at connect, by the whole address pair: a bind
  // alone would search every port in use, TIME_WAIT ones included.
  int yes = 1;
  ::setsockopt(socket, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &yes, sizeof yes);
  return ::bind(socket, reinterpret_cast<sockaddr*>(&source), sizeof source) == 0 ? CURL_SOCKOPT_OK : CURL_SOCKOPT_ERROR;
}

struct PollFigures {
  std::vector<double> latenciesMs;  // from the poll's connection to its answer
  std::size_t failed = 0;
};

void startPoll(CURLM* multi, Transfer& transfer, const std::string& base, std::size_t notifier, Clock::time_point due) {
  transfer.notifier = notifier;
  transfer.due = due;
  transfer.url = base + "/api/reception/getNotification?key=" + accessKey + "&fn=Notifier&ln=" + staffLastName(notifier);
  curl_easy_setopt(transfer.easy, CURLOPT_URL, transfer.url.c_str());
  curl_multi_add_handle(multi, transfer.easy);
}

// The headers libcurl would add beside Host: the notifier sends none, and the
// service refuses a notifier request that carries a browser's headers.
curl_slist* notifierHeaders() {
  static curl_slist* const headers = curl_slist_append(nullptr, "Accept:");
  return headers;
}

CURL* pollHandle(Transfer* transfer) {
  CURL* easy = curl_easy_init();
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_0);
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, notifierHeaders());
  curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
  curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, pollTimeoutMs);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &discard);
  curl_easy_setopt(easy, CURLOPT_PRIVATE, transfer);
  curl_easy_setopt(easy, CURLOPT_SOCKOPTFUNCTION, &bindSource);
  curl_easy_setopt(easy, CURLOPT_SOCKOPTDATA, transfer);
  return easy;
}

// Collects finished polls; each notifier is due again 12 s after its last due time.
void collect(CURLM* multi, Clock::time_point measureFrom, PollFigures& figures, std::vector<Transfer*>& idle,
             std::priority_queue<Due, std::vector<Due>, std::greater<>>& schedule) {
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    Transfer* transfer = nullptr;
    curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transfer);
    long status = 0;
    curl_easy_getinfo(message->easy_handle, CURLINFO_RESPONSE_CODE, &status);
    // libcurl's own clock, from the start of the poll to its last byte.
    curl_off_t micros = 0;
    curl_easy_getinfo(message->easy_handle, CURLINFO_TOTAL_TIME_T, &micros);
    if (transfer->due >= measureFrom) {
      if (message->data.result == CURLE_OK && status == 200) {
        figures.latenciesMs.push_back(static_cast<double>(micros) / 1000.0);
      } else {
        ++figures.failed;
      }
    }
    curl_multi_remove_handle(multi, message->easy_handle);
    schedule.push(Due{transfer->due + pollInterval, transfer->notifier});
    idle.push_back(transfer);
  }
}

// Polls as the notifiers first..first+count-1 of total, until end.
PollFigures pollAsNotifiers(const std::string& base, std::size_t first, std::size_t count, std::size_t total,
                            Clock::time_point measureFrom, Clock::time_point end) {
  CURLM* multi = curl_multi_init();
  std::vector<Transfer> transfers(std::min(count, maxInFlight));
  std::vector<Transfer*> idle;
  for (Transfer& transfer : transfers) {
    transfer.easy = pollHandle(&transfer);
    idle.push_back(&transfer);
  }
  std::priority_queue<Due, std::vector<Due>, std::greater<>> schedule;
  Clock::time_point start = Clock::now();
  for (std::size_t i = first; i < first + count; ++i) schedule.push(Due{start + pollInterval * i / total, i});
  PollFigures figures;
  while (Clock::now() < end) {
    Clock::time_point now = Clock::now();
    while (!schedule.empty() && schedule.top().at <= now && !idle.empty()) {
      Transfer* transfer = idle.back();
      idle.pop_back();
      startPoll(multi, *transfer, base, schedule.top().notifier, schedule.top().at);
      schedule.pop();
    }
    int running = 0;
    curl_multi_perform(multi, &running);
    collect(multi, measureFrom, figures, idle, schedule);
    auto untilDue = schedule.empty() ? std::chrono::milliseconds(5)
                                     : std::chrono::duration_cast<std::chrono::milliseconds>(schedule.top().at - now);
    curl_multi_poll(multi, nullptr, 0, static_cast<int>(std::clamp<long long>(untilDue.count(), 0, 5)), nullptr);
  }
  for (Transfer& transfer : transfers) {
    curl_multi_remove_handle(multi, transfer.easy);
    curl_easy_cleanup(transfer.easy);
  }
  curl_multi_cleanup(multi);
  return figures;
}

// One desk request with the session cookie; the answer's body.
std::string deskRequest(CURL* easy, const std::string& url, const std::string& body, std::atomic<std::size_t>& failed) {
  std::string answer;
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t count, void* text) {
    static_cast<std::string*>(text)->append(data, size * count);
    return size * count;
  });
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &answer);
  long status = 0;
  bool done = curl_easy_perform(easy) == CURLE_OK && curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK &&
              status >= 200 && status < 300;
  if (!done) ++failed;
  return done ? answer : "";
}

// Announces a guest for a random notifier's user every half second and
// archives each 5 s later, until end.
void runDesk(const std::string& base, std::size_t count, Clock::time_point end, std::atomic<std::size_t>& written,
             std::atomic<std::size_t>& failed) {
  CURL* easy = curl_easy_init();
  curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "");
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, 20000L);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  deskRequest(easy, base + "/api/desk/login", std::string("{\"name\":\"") + deskAccount + "\",\"password\":\"" + deskPassword + "\"}",
              failed);
  std::mt19937 random(7);  // NOLINT(cert-msc32-c,cert-msc51-cpp): the same hosts in every run, so runs compare
  std::queue<std::pair<Clock::time_point, std::string>> toArchive;
  for (int k = 0; Clock::now() < end; ++k) {
    std::size_t staffId = random() % count + 1;  // prepare's rows are ids 1..N
    std::string answer = deskRequest(easy, base + "/api/desk/notifications",
                                     "{\"staffId\":" + std::to_string(staffId) + ",\"guestName\":\"Guest " + std::to_string(k) + "\"}",
                                     failed);
    std::size_t id = answer.find("\"id\":");
    if (id != std::string::npos) {
      toArchive.emplace(Clock::now() + std::chrono::seconds(5), answer.substr(id + 5, answer.find_first_of(",}", id) - id - 5));
      ++written;
    }
    while (!toArchive.empty() && toArchive.front().first <= Clock::now()) {
      if (!deskRequest(easy, base + "/api/desk/notifications/" + toArchive.front().second + "/archive", "{}", failed).empty()) {
        ++written;
      }
      toArchive.pop();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(easy);
}

// User and system CPU time of a process, in seconds.
double cpuSeconds(const std::string& pid) {
  std::ifstream file("/proc/" + pid + "/stat");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int index = 3; index <= 15 && fields >> field; ++index) {
    if (index == 14 || index == 15) ticks += std::stod(field);
  }
  return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// A field of /proc/PID/status in MiB ("VmRSS", "VmHWM").
double memoryMib(const std::string& pid, const std::string& field) {
  std::ifstream file("/proc/" + pid + "/status");
  std::string line;
  while (std::getline(file, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stod(line.substr(field.size() + 1)) / 1024.0;
  }
  return 0;
}

double percentile(std::vector<double>& values, double share) {
  if (values.empty()) return 0;
  std::size_t at = std::min(values.size() - 1, static_cast<std::size_t>(share * static_cast<double>(values.size())));
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at), values.end());
  return values[at];
}

int run(const std::string& base, std::size_t count, const std::string& pid, int warmupSeconds, int measureSeconds) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
  curl_global_init(CURL_GLOBAL_DEFAULT);
  Clock::time_point measureFrom = Clock::now() + std::chrono::seconds(warmupSeconds);
  Clock::time_point end = measureFrom + std::chrono::seconds(measureSeconds);
  std::atomic<std::size_t> written{0};
  std::atomic<std::size_t> deskFailed{0};
  std::thread desk([&] { runDesk(base, count, end, written, deskFailed); });
  double cpuBefore = 0;
  std::thread sampler([&] {
    std::this_thread::sleep_until(measureFrom);
    cpuBefore = cpuSeconds(pid);
  });
  std::vector<PollFigures> slices(pollingThreads);
  std::vector<std::thread> pollers;
  for (std::size_t t = 0; t < pollingThreads; ++t) {
    std::size_t first = count * t / pollingThreads;
    std::size_t last = count * (t + 1) / pollingThreads;
    pollers.emplace_back([&, t, first, last] { slices[t] = pollAsNotifiers(base, first, last - first, count, measureFrom, end); });
  }
  for (std::thread& poller : pollers) poller.join();
  PollFigures figures;
  for (const PollFigures& slice : slices) {
    figures.latenciesMs.insert(figures.latenciesMs.end(), slice.latenciesMs.begin(), slice.latenciesMs.end());
    figures.failed += slice.failed;
  }
  sampler.join();
  double cpuShare = (cpuSeconds(pid) - cpuBefore) / measureSeconds * 100;
  desk.join();
  std::size_t answered = figures.latenciesMs.size();
  std::printf("| %zu | %.0f | %.2f | %.2f | %zu | %zu | %.1f %% | %.1f | %.1f |\n", count,
              static_cast<double>(answered) / measureSeconds, percentile(figures.latenciesMs, 0.5),
              percentile(figures.latenciesMs, 0.99), figures.failed, written.load(), cpuShare,
              memoryMib(pid, "VmRSS"), memoryMib(pid, "VmHWM"));
  curl_global_cleanup();
  if (figures.failed == 0 && deskFailed == 0 && answered > 0) return 0;
  // NOLINTNEXTLINE(cert-err33-c): the exit code says it too
  std::fprintf(stderr, "capacity_bench: FAILED at %zu notifiers: %zu of %zu polls and %zu desk requests failed\n", count,
               figures.failed, figures.failed + answered, deskFailed.load());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  if (arguments.size() == 3 && arguments[0] == "prepare") return prepare(arguments[1], std::stoul(arguments[2]));
  if (arguments.size() == 6 && arguments[0] == "run") {
    return run(arguments[1], std::stoul(arguments[2]), arguments[3], std::stoi(arguments[4]), std::stoi(arguments[5]));
  }
  std::fputs("Usage: capacity_bench prepare DATABASE N | run URL N PID WARMUP_S MEASURE_S\n", stderr);  // NOLINT(cert-err33-c)
  return 2;
}
