#include "host/host_events.h"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "store/clock.h"
#include "store/data_changes.h"
#include "store/host_sessions.h"
#include "store/notifications.h"
#include "store/page_recorder.h"

using nlohmann::json;

std::int64_t heartbeatIntervalMs = 25000;

namespace {

using Clock = std::chrono::steady_clock;
// Archived guests are looked up this far back to tell how they left.
constexpr std::int64_t departureLookBackMs = 10LL * 60 * 1000;
// A read that failed is tried again after this, whatever comes first.
constexpr auto retryAfterFailure = std::chrono::milliseconds(500);

struct HostStream {
  std::int64_t staffId = 0;
  std::string sessionToken;
  std::weak_ptr<EventStream> stream;
};

struct Event {
  std::int64_t staffId = 0;
  std::string text;
};

struct FanOut {
  std::mutex mutex;
  std::condition_variable wake;
  bool changed = false;
  bool newStreams = false;  // streams added since the thread last looked
  bool stopping = false;
  std::thread thread;
  std::vector<HostStream> fresh;  // waiting for their snapshot
  std::vector<HostStream> streams;
  // Read and written by the fan-out's thread only.
  std::map<std::int64_t, NotificationRow> waiting;
  bool loaded = false;
};

FanOut& fanOut() {
  static FanOut instance;
  return instance;
}

// The fan-out's data change listener: wakes its thread, which reads.
bool noteChange() {
  FanOut& f = fanOut();
  {
    std::lock_guard<std::mutex> lock(f.mutex);
    f.changed = true;
  }
  f.wake.notify_one();
  return true;
}

json guestJson(const NotificationRow& row) {
  return {{"id", row.id},
          {"guest", row.headline},
          {"note", row.detail},
          {"arrivedAt", row.arrivedAt},
          {"deliveredAt", row.deliveredAt ? json(*row.deliveredAt) : json(nullptr)}};
}

std::string eventText(const char* type, const json& data) {
  return std::string("event: ") + type + "\ndata: " + data.dump(-1, ' ', false, json::error_handler_t::replace) + "\n\n";
}

const char* departureOf(const NotificationRow& row) {
  if (row.archivedBy == "desk") return "withdrawn";
  if (row.archivedBy == "reassigned") return "reassigned";
  return "acknowledged";
}

// The waiting guests now, and the events that lead from the last read to them.
bool reread(FanOut& f, std::vector<Event>& events) {
  std::vector<NotificationRow> rows;
  std::int64_t now = currentTimeMs();
  if (deskNotifications(now - departureLookBackMs, rows) != Outcome::ok) return false;
  std::map<std::int64_t, NotificationRow> waiting;
  std::map<std::int64_t, const NotificationRow*> departed;
  for (const NotificationRow& row : rows) {
    if (!row.archivedAt) {
      waiting.emplace(row.id, row);
    } else {
      departed.emplace(row.id, &row);
    }
  }
  if (f.loaded) {
    for (const auto& [id, row] : waiting) {
      auto before = f.waiting.find(id);
      if (before == f.waiting.end()) {
        events.push_back({row.staffId, eventText("announced", guestJson(row))});
      } else if (row.deliveredAt && !before->second.deliveredAt) {
        events.push_back({row.staffId, eventText("delivered", guestJson(row))});
      }
    }
    for (const auto& [id, row] : f.waiting) {
      if (waiting.count(id) != 0) continue;
      auto gone = departed.find(id);
      const char* type = gone == departed.end() ? "withdrawn" : departureOf(*gone->second);
      events.push_back({row.staffId, eventText(type, guestJson(row))});
    }
  }
  f.waiting = std::move(waiting);
  f.loaded = true;
  return true;
}

std::string snapshotOf(const FanOut& f, std::int64_t staffId) {
  json guests = json::array();
  for (const auto& [id, row] : f.waiting) {
    if (row.staffId == staffId) guests.push_back(guestJson(row));
  }
  return eventText("snapshot", {{"now", currentTimeMs()}, {"guests", guests}});
}

// New streams get their snapshot only from a read made after they came (current).
void deliver(FanOut& f, const std::vector<Event>& events, bool heartbeat, bool snapshots) {
  std::lock_guard<std::mutex> lock(f.mutex);
  if (snapshots) {
    for (HostStream& fresh : f.fresh) {
      if (auto stream = fresh.stream.lock()) {
        stream->send("retry: 3000\n\n" + snapshotOf(f, fresh.staffId));
        f.streams.push_back(std::move(fresh));
      }
    }
    f.fresh.clear();
  }
  std::vector<HostStream> open;
  for (HostStream& entry : f.streams) {
    std::shared_ptr<EventStream> stream = entry.stream.lock();
    if (!stream || stream->ended()) continue;
    for (const Event& event : events) {
      if (event.staffId == entry.staffId) stream->send(event.text);
    }
    if (heartbeat) stream->send(": still here\n\n");
    // The page is a screen: open until two heartbeats pass without one.
    notePageReached(entry.staffId, f.waiting, 2 * heartbeatIntervalMs);
    open.push_back(std::move(entry));
  }
  f.streams = std::move(open);
}

void endStream(const std::shared_ptr<EventStream>& stream) {
  stream->send(eventText("signed-out", json::object()));
  stream->close();
}

std::vector<HostStream> openStreams(FanOut& f) {
  std::lock_guard<std::mutex> lock(f.mutex);
  return f.streams;
}

// Ends the streams whose session has ended; the session of an open page counts as used.
void endSignedOutStreams(FanOut& f) {
  for (const HostStream& entry : openStreams(f)) {
    std::shared_ptr<EventStream> stream = entry.stream.lock();
    HostMember member;
    if (stream && findHostSession(entry.sessionToken, member) == Outcome::notFound) endStream(stream);
  }
}

// After a change: ends at once, in one read, the streams of members left
// without any session (deactivated, removed, signed out everywhere, on any
// instance); a single session ended is found by the next heartbeat's check.
void endStreamsOfMembersSignedOut(FanOut& f) {
  std::vector<HostStream> open = openStreams(f);
  std::set<std::int64_t> members;
  if (open.empty() || membersWithHostSessions(members) != Outcome::ok) return;
  for (const HostStream& entry : open) {
    std::shared_ptr<EventStream> stream = entry.stream.lock();
    if (stream && !stream->ended() && members.count(entry.staffId) == 0) endStream(stream);
  }
}

void run(FanOut& f) {
  const auto never = Clock::time_point::max();
  Clock::time_point nextBeat = Clock::now() + std::chrono::milliseconds(heartbeatIntervalMs);
  Clock::time_point retryAt = never;
  std::unique_lock<std::mutex> lock(f.mutex);
  while (!f.stopping) {
    f.wake.wait_until(lock, std::min(nextBeat, retryAt), [&f] { return f.stopping || f.changed || f.newStreams; });
    if (f.stopping) break;
    bool changed = f.changed;
    // New pages start from a read of their own, so that each begins current.
    bool due = changed || f.newStreams || Clock::now() >= retryAt;
    f.changed = false;
    f.newStreams = false;
    bool idle = f.streams.empty() && f.fresh.empty();
    lock.unlock();
    std::vector<Event> events;
    bool read = false;
    if (idle) {
      // Nobody listens: the next stream starts from a fresh read.
      f.loaded = false;
      retryAt = never;
    } else if (due) {
      // A read that failed leaves the last one in place, so that the next one
      // still tells every change since.
      read = reread(f, events);
      retryAt = read ? never : Clock::now() + retryAfterFailure;
      if (changed) endStreamsOfMembersSignedOut(f);
    }
    bool heartbeat = Clock::now() >= nextBeat;
    if (heartbeat) {
      nextBeat = Clock::now() + std::chrono::milliseconds(heartbeatIntervalMs);
      endSignedOutStreams(f);
    }
    if (read || heartbeat) deliver(f, events, heartbeat, read);
    lock.lock();
  }
}

}  // namespace

void addHostStream(std::int64_t staffId, const std::string& sessionToken, const std::shared_ptr<EventStream>& stream) {
  FanOut& f = fanOut();
  {
    std::lock_guard<std::mutex> lock(f.mutex);
    f.fresh.push_back({staffId, sessionToken, stream});
    f.newStreams = true;
    if (!f.thread.joinable()) {
      f.stopping = false;
      listenForDataChanges(&noteChange);
      f.thread = std::thread([&f] { run(f); });
    }
  }
  f.wake.notify_one();
}

void stopHostEvents() {
  FanOut& f = fanOut();
  {
    std::lock_guard<std::mutex> lock(f.mutex);
    f.stopping = true;
  }
  f.wake.notify_all();
  if (f.thread.joinable()) f.thread.join();
  std::lock_guard<std::mutex> lock(f.mutex);
  f.fresh.clear();
  f.streams.clear();
  f.waiting.clear();
  f.loaded = false;
  f.changed = false;
  f.newStreams = false;
}
