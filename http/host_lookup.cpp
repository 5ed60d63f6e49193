#include "host_lookup.h"

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "sockets.h"

bool (*blockingHostLookup)(const char* name, std::uint32_t& address) = resolveHostName;

namespace {

using Clock = std::chrono::steady_clock;

// One lookup in flight, shared by the thread that runs it and every caller
// waiting for it; whoever is last lets it go.
struct PendingLookup {
  std::mutex mutex;
  std::condition_variable answered;
  bool done = false;
  bool found = false;
  std::uint32_t address = 0;
};

struct HostAddresses {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<PendingLookup>> pending;
  std::map<std::string, std::uint32_t> lastGood;
};

// Never destroyed: a lookup left behind may finish while the process exits.
HostAddresses& hostAddresses() {
  static auto* addresses = new HostAddresses;
  return *addresses;
}

void finishLookup(const std::string& name, const std::shared_ptr<PendingLookup>& lookup, bool found,
                  std::uint32_t address) {
  {
    std::lock_guard<std::mutex> lock(lookup->mutex);
    lookup->done = true;
    lookup->found = found;
    lookup->address = address;
  }
  lookup->answered.notify_all();
  HostAddresses& addresses = hostAddresses();
  std::lock_guard<std::mutex> lock(addresses.mutex);
  auto entry = addresses.pending.find(name);
  if (entry != addresses.pending.end() && entry->second == lookup) addresses.pending.erase(entry);
  if (found) addresses.lastGood[name] = address;
}

void runLookup(const std::string& name, const std::shared_ptr<PendingLookup>& lookup,
               bool (*resolve)(const char*, std::uint32_t&)) {
  // The thread holds Windows Sockets started for itself: the caller may clean
  // up its own start-up while this lookup still runs.
  bool started = wsaStartup(0x0101) == 0;
  std::uint32_t address = 0;
  bool found = started && resolve(name.c_str(), address);
  if (started) wsaCleanup();
  finishLookup(name, lookup, found, address);
}

// The lookup for name already running, or a new one started on its own thread.
std::shared_ptr<PendingLookup> joinOrStartLookup(const std::string& name, bool& knownBefore,
                                                 std::uint32_t& lastGood) {
  HostAddresses& addresses = hostAddresses();
  std::lock_guard<std::mutex> lock(addresses.mutex);
  auto good = addresses.lastGood.find(name);
  knownBefore = good != addresses.lastGood.end();
  if (knownBefore) lastGood = good->second;
  auto running = addresses.pending.find(name);
  if (running != addresses.pending.end()) return running->second;
  auto lookup = std::make_shared<PendingLookup>();
  // Entered before the thread starts, which cannot finish before the lock is released.
  addresses.pending[name] = lookup;
  try {
    std::thread(runLookup, name, lookup, blockingHostLookup).detach();
  } catch (const std::system_error&) {
    addresses.pending.erase(name);
    return nullptr;  // no thread to spare: as if the resolver did not answer
  }
  return lookup;
}

}  // namespace

bool lookUpHostBefore(const std::string& name, Clock::time_point deadline, std::uint32_t& address) {
  bool knownBefore = false;
  std::uint32_t lastGood = 0;
  std::shared_ptr<PendingLookup> lookup = joinOrStartLookup(name, knownBefore, lastGood);
  // A known address leaves the request half its time for connect, send and receive.
  Clock::time_point waitUntil = knownBefore ? Clock::now() + (deadline - Clock::now()) / 2 : deadline;
  if (lookup != nullptr) {
    std::unique_lock<std::mutex> lock(lookup->mutex);
    if (lookup->answered.wait_until(lock, waitUntil, [&] { return lookup->done; })) {
      if (lookup->found) address = lookup->address;
      return lookup->found;
    }
  }
  if (knownBefore) address = lastGood;
  return knownBefore;
}
