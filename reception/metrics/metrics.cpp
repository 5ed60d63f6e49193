#include "metrics/metrics.h"

#include <array>
#include <atomic>

namespace {

struct CounterRow {
  Counter counter;
  const char* name;
  const char* labels;  // "" or name="value" pairs
  const char* help;
};

// Rows of one name stay together: they are one family in the exposition.
constexpr CounterRow counterRows[] = {
    {Counter::loginOk, "vestibra_logins_total", "outcome=\"ok\"", "Desk logins by outcome."},
    {Counter::loginWrong, "vestibra_logins_total", "outcome=\"wrong\"", ""},
    {Counter::loginThrottled, "vestibra_logins_total", "outcome=\"throttled\"", ""},
    {Counter::databaseBusy, "vestibra_database_busy_total", "",
     "Writes refused because another process held the database."},
    {Counter::retentionDeleted, "vestibra_retention_deleted_total", "",
     "Finished guests and removed staff deleted by the retention."},
    {Counter::alertEmailSent, "vestibra_alerts_total", "channel=\"email\",outcome=\"sent\"",
     "Alert attempts by channel and outcome."},
    {Counter::alertEmailRetry, "vestibra_alerts_total", "channel=\"email\",outcome=\"retry\"", ""},
    {Counter::alertEmailFailed, "vestibra_alerts_total", "channel=\"email\",outcome=\"failed\"", ""},
    {Counter::alertPushSent, "vestibra_alerts_total", "channel=\"push\",outcome=\"sent\"", ""},
    {Counter::alertPushRetry, "vestibra_alerts_total", "channel=\"push\",outcome=\"retry\"", ""},
    {Counter::alertPushFailed, "vestibra_alerts_total", "channel=\"push\",outcome=\"failed\"", ""},
    {Counter::alertTeamSent, "vestibra_alerts_total", "channel=\"team\",outcome=\"sent\"", ""},
    {Counter::alertTeamRetry, "vestibra_alerts_total", "channel=\"team\",outcome=\"retry\"", ""},
    {Counter::alertTeamFailed, "vestibra_alerts_total", "channel=\"team\",outcome=\"failed\"", ""},
};
constexpr std::size_t counterCount = static_cast<std::size_t>(Counter::count);
static_assert(sizeof counterRows / sizeof counterRows[0] == counterCount, "one row per counter");

constexpr std::size_t apiCount = 3;
constexpr const char* apiNames[apiCount] = {"notifier", "desk", "page"};

// Status codes 100 to 599, one slot each.
constexpr int lowestStatus = 100;
constexpr std::size_t statusCount = 500;

// Upper bounds in seconds: polls answer in about a millisecond, logins (a
// password hash) in a few hundred.
constexpr std::array<const char*, 12> bucketBounds = {"0.001", "0.0025", "0.005", "0.01", "0.025", "0.05",
                                                      "0.1",   "0.25",   "0.5",   "1",    "2.5",   "10"};
constexpr std::array<double, 12> bucketSeconds = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 10};
constexpr std::size_t bucketCount = bucketBounds.size() + 1;  // the last is +Inf

struct ApiCounts {
  std::array<std::atomic<std::uint64_t>, statusCount> byStatus{};
  std::array<std::atomic<std::uint64_t>, bucketCount> byDuration{};  // not cumulative
  std::atomic<std::uint64_t> microseconds{0};
};

std::array<std::atomic<std::uint64_t>, counterCount> counters{};
std::atomic<std::int64_t> directorySyncSuccess{0};
std::atomic<bool> leader{true};
std::array<ApiCounts, apiCount> requests;

std::uint64_t load(const std::atomic<std::uint64_t>& value) { return value.load(std::memory_order_relaxed); }


void family(std::string& text, const char* name, const char* type, const char* help) {
  text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void sample(std::string& text, const std::string& name, const std::string& labels, const std::string& value) {
  text += name + (labels.empty() ? "" : "{" + labels + "}") + " " + value + "\n";
}

void addGauges(std::string& text, const Gauges& gauges) {
  family(text, "vestibra_guests_waiting", "gauge", "Guests announced and not yet archived.");
  sample(text, "vestibra_guests_waiting", "", std::to_string(gauges.guestsWaiting));
  family(text, "vestibra_guests_escalated", "gauge", "Waiting guests past an escalation threshold.");
  sample(text, "vestibra_guests_escalated", "", std::to_string(gauges.guestsEscalated));
  family(text, "vestibra_notifiers_online", "gauge", "Members of staff whose notifier polled within the online window.");
  sample(text, "vestibra_notifiers_online", "", std::to_string(gauges.notifiersOnline));
}

void addDirectorySync(std::string& text) {
  const char* name = "vestibra_directory_sync_last_success_timestamp_seconds";
  family(text, name, "gauge", "When a directory sync last changed the staff as planned (0: never since the start).");
  sample(text, name, "", std::to_string(directorySyncSuccess.load(std::memory_order_relaxed)));
}

void addLeadership(std::string& text) {
  family(text, "vestibra_leader", "gauge",
         "1 while this instance runs the retention, scheduled directory syncs and automatic sign-out.");
  sample(text, "vestibra_leader", "", leader.load(std::memory_order_relaxed) ? "1" : "0");
}

void addCounters(std::string& text) {
  const char* previous = "";
  for (const CounterRow& row : counterRows) {
    if (std::string_view(row.name) != previous) family(text, row.name, "counter", row.help);
    previous = row.name;
    sample(text, row.name, row.labels, std::to_string(load(counters[static_cast<std::size_t>(row.counter)])));
  }
}

void addRequestCounts(std::string& text) {
  family(text, "vestibra_http_requests_total", "counter", "HTTP requests answered, by API and status code.");
  for (std::size_t api = 0; api < apiCount; ++api) {
    for (std::size_t status = 0; status < statusCount; ++status) {
      std::uint64_t count = load(requests[api].byStatus[status]);
      if (count == 0) continue;
      std::string labels = std::string("api=\"") + apiNames[api] + "\",code=\"" + std::to_string(lowestStatus + status) + "\"";
      sample(text, "vestibra_http_requests_total", labels, std::to_string(count));
    }
  }
}

void addDurations(std::string& text) {
  const std::string name = "vestibra_http_request_duration_seconds";
  family(text, name.c_str(), "histogram", "Time from a request's first line to its answer, by API.");
  for (std::size_t api = 0; api < apiCount; ++api) {
    std::string apiLabel = std::string("api=\"") + apiNames[api] + "\"";
    // The count is the buckets as read, so that +Inf and count always agree.
    std::uint64_t cumulative = 0;
    for (std::size_t bucket = 0; bucket < bucketCount; ++bucket) {
      cumulative += load(requests[api].byDuration[bucket]);
      const char* bound = bucket < bucketBounds.size() ? bucketBounds[bucket] : "+Inf";
      sample(text, name + "_bucket", apiLabel + ",le=\"" + bound + "\"", std::to_string(cumulative));
    }
    sample(text, name + "_sum", apiLabel, std::to_string(static_cast<double>(load(requests[api].microseconds)) / 1e6));
    sample(text, name + "_count", apiLabel, std::to_string(cumulative));
  }
}

}  // namespace

void countEvent(Counter counter, std::uint64_t amount) {
  counters[static_cast<std::size_t>(counter)].fetch_add(amount, std::memory_order_relaxed);
}

std::uint64_t counterValue(Counter counter) { return load(counters[static_cast<std::size_t>(counter)]); }

void countAlert(std::string_view channel, AlertAttempt attempt) {
  // The team's webhook and mail count as one channel, as the chain's step does.
  std::size_t first = channel == "email"  ? static_cast<std::size_t>(Counter::alertEmailSent)
                      : channel == "push" ? static_cast<std::size_t>(Counter::alertPushSent)
                                          : static_cast<std::size_t>(Counter::alertTeamSent);
  countEvent(static_cast<Counter>(first + static_cast<std::size_t>(attempt)));
}

void noteDirectorySyncSuccess(std::int64_t secondsSinceEpoch) {
  directorySyncSuccess.store(secondsSinceEpoch, std::memory_order_relaxed);
}

void noteLeadership(bool leading) { leader.store(leading, std::memory_order_relaxed); }

void countRequest(Api api, int status, double seconds) {
  ApiCounts& counts = requests[static_cast<std::size_t>(api)];
  if (status >= lowestStatus && status < lowestStatus + static_cast<int>(statusCount)) {
    counts.byStatus[static_cast<std::size_t>(status - lowestStatus)].fetch_add(1, std::memory_order_relaxed);
  }
  std::size_t bucket = 0;
  while (bucket < bucketSeconds.size() && seconds > bucketSeconds[bucket]) ++bucket;
  counts.byDuration[bucket].fetch_add(1, std::memory_order_relaxed);
  double micros = seconds > 0 ? seconds * 1e6 : 0;
  counts.microseconds.fetch_add(static_cast<std::uint64_t>(micros), std::memory_order_relaxed);
}

std::string metricsText(const std::optional<Gauges>& gauges) {
  std::string text;
  if (gauges) addGauges(text, *gauges);
  addCounters(text);
  addDirectorySync(text);
  addLeadership(text);
  addRequestCounts(text);
  addDurations(text);
  return text;
}
