#include "http/event_stream.h"

#include <microhttpd.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "http/client_network.h"
#include "http/hang_up_watch.h"

namespace {

constexpr std::size_t streamBlockBytes = 256;

struct StreamSlots {
  std::mutex mutex;
  EventStreamLimits limits;
  unsigned open = 0;
  // By client network (an IPv6 /64 is one client), as the other limits count.
  std::unordered_map<std::string, unsigned> held;
  // By serial number, which unlike an address is never reused: a hang-up
  // reported late cannot end a newer stream.
  std::unordered_map<std::uint64_t, EventStream*> streams;
  std::uint64_t lastSerial = 0;
};

// Made on first use, not at static initialisation.
StreamSlots& slots() {
  static StreamSlots instance;
  return instance;
}

}  // namespace

void setEventStreamLimits(const EventStreamLimits& limits) {
  std::lock_guard<std::mutex> lock(slots().mutex);
  slots().limits = limits;
}

EventStreamLimits eventStreamLimits() {
  std::lock_guard<std::mutex> lock(slots().mutex);
  return slots().limits;
}

std::shared_ptr<EventStream> openEventStream(const std::string& address, int& status) {
  StreamSlots& all = slots();
  std::shared_ptr<EventStream> stream;
  {
    std::lock_guard<std::mutex> lock(all.mutex);
    if (all.open >= all.limits.total) {
      status = 503;
      return nullptr;
    }
    unsigned& held = all.held[clientNetwork(address)];
    if (held >= all.limits.perAddress) {
      status = 429;
      return nullptr;
    }
    ++held;
    ++all.open;
    stream = std::make_shared<EventStream>(address, ++all.lastSerial);
    all.streams.emplace(all.lastSerial, stream.get());
  }
  status = 200;
  return stream;
}

unsigned openEventStreamCount() {
  std::lock_guard<std::mutex> lock(slots().mutex);
  return slots().open;
}

void closeAllEventStreams() {
  StreamSlots& all = slots();
  std::lock_guard<std::mutex> lock(all.mutex);
  for (const auto& entry : all.streams) entry.second->close();
}

bool watchEventStreamClients() { return startHangUpWatch(&EventStream::endHungUp); }

void stopWatchingEventStreamClients() { stopHangUpWatch(); }

EventStream::~EventStream() {
  StreamSlots& all = slots();
  std::lock_guard<std::mutex> lock(all.mutex);
  all.streams.erase(serial_);
  --all.open;
  auto found = all.held.find(clientNetwork(address_));
  if (found != all.held.end() && --found->second == 0) all.held.erase(found);
}

void EventStream::send(std::string_view text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_ || gone_) return;
  // A client that reads nothing (a laptop asleep) must not make the service hold its events forever.
  if (pending_.size() + text.size() > maxUnsentStreamBytes) {
    closed_ = true;
    pending_.clear();
  } else {
    pending_.append(text);
  }
  wakeLocked();
}

// The client of a stream has gone: the stream ends, and with it its connection and slot.
void EventStream::endHungUp(std::uint64_t serial) {
  StreamSlots& all = slots();
  std::lock_guard<std::mutex> lock(all.mutex);
  auto found = all.streams.find(serial);
  if (found != all.streams.end()) found->second->hangUp();
}

// Under the slots' lock.
void EventStream::hangUp() {
  unwatchHangUp(watchedSocket_);
  watchedSocket_ = -1;
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  pending_.clear();
  wakeLocked();
}

void EventStream::close() {
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  wakeLocked();
}

bool EventStream::ended() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_ || gone_;
}

// Under the lock: the connection goes back into the daemon's loop, which then
// asks read() again. Only a connection read() suspended is resumed.
void EventStream::wakeLocked() {
  if (!suspended_ || connection_ == nullptr) return;
  suspended_ = false;
  MHD_resume_connection(connection_);
}

ssize_t EventStream::read(char* buffer, std::size_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!pending_.empty()) {
    std::size_t taken = std::min(size, pending_.size());
    std::memcpy(buffer, pending_.data(), taken);
    pending_.erase(0, taken);
    // A snapshot's buffer is not kept for the hours a page may stay open.
    if (pending_.empty()) pending_.shrink_to_fit();
    return static_cast<ssize_t>(taken);
  }
  if (closed_) return MHD_CONTENT_READER_END_OF_STREAM;
  // Nothing to send: the connection leaves the loop until send() or close().
  suspended_ = true;
  MHD_suspend_connection(connection_);
  return 0;
}

void EventStream::detach() {
  {
    // Before the daemon closes the socket, which may then be reused.
    std::lock_guard<std::mutex> lock(slots().mutex);
    unwatchHangUp(watchedSocket_);
    watchedSocket_ = -1;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  gone_ = true;
  connection_ = nullptr;
  pending_.clear();
}

ssize_t EventStream::readCallback(void* context, std::uint64_t, char* buffer, std::size_t size) {
  return (*static_cast<std::shared_ptr<EventStream>*>(context))->read(buffer, size);
}

void EventStream::freeCallback(void* context) {
  auto* holder = static_cast<std::shared_ptr<EventStream>*>(context);
  (*holder)->detach();
  delete holder;
}

MHD_Response* EventStream::makeResponse(MHD_Connection* connection, const std::shared_ptr<EventStream>& self) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connection_ = connection;
  }
  auto* holder = new std::shared_ptr<EventStream>(self);
  // The block is each response's own buffer, used only without chunked
  // encoding (HTTP/1.0 clients), and a page keeps its response for hours.
  MHD_Response* response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, streamBlockBytes, &readCallback, holder, &freeCallback);
  if (response == nullptr) {
    detach();
    delete holder;
    return nullptr;
  }
  // A stream waits for events far longer than the idle limit of other requests.
  MHD_set_connection_option(connection, MHD_CONNECTION_OPTION_TIMEOUT, 0U);
  const MHD_ConnectionInfo* socket = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  std::lock_guard<std::mutex> lock(slots().mutex);
  if (socket != nullptr && watchHangUp(socket->connect_fd, serial_)) watchedSocket_ = socket->connect_fd;
  return response;
}
