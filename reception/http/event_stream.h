// Long-lived text/event-stream answers that hold no thread: the connection
// stays suspended in the daemon's event loop while nothing is to be sent,
// and is resumed when text is pushed. Streams have slots of their own (a
// total and a per-address cap), apart from the connection slots of the other
// requests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/types.h>

struct MHD_Connection;
struct MHD_Response;

constexpr unsigned defaultMaxEventStreams = 5000;
constexpr unsigned defaultEventStreamsPerAddress = 8;
// A client that lets this much pile up unread is dropped.
constexpr std::size_t maxUnsentStreamBytes = std::size_t{256} * 1024;

class EventStream {
 public:
  // The serial number tells streams apart for the whole run (event_stream.cpp).
  EventStream(std::string address, std::uint64_t serial) : address_(std::move(address)), serial_(serial) {}
  ~EventStream();
  EventStream(const EventStream&) = delete;
  EventStream& operator=(const EventStream&) = delete;

  // Queues text to send; from any thread. Ignored once the stream has ended.
  void send(std::string_view text);
  // Ends the stream once what is queued has been sent.
  void close();
  // The client left, or close was called.
  bool ended() const;
  const std::string& address() const { return address_; }

  // The server's side: binds the stream to its connection's answer.
  MHD_Response* makeResponse(MHD_Connection* connection, const std::shared_ptr<EventStream>& self);
  // Ends the stream of that serial number, if still open, as its client has gone.
  static void endHungUp(std::uint64_t serial);

 private:
  ssize_t read(char* buffer, std::size_t size);
  void detach();
  void hangUp();
  void wakeLocked();
  static ssize_t readCallback(void* context, std::uint64_t position, char* buffer, std::size_t size);
  static void freeCallback(void* context);

  mutable std::mutex mutex_;
  std::string address_;
  std::string pending_;
  MHD_Connection* connection_ = nullptr;
  bool suspended_ = false;
  bool closed_ = false;
  bool gone_ = false;  // the connection's answer was freed
  const std::uint64_t serial_;
  int watchedSocket_ = -1;  // guarded by the slots' lock (event_stream.cpp)
};

struct EventStreamLimits {
  unsigned total = defaultMaxEventStreams;
  unsigned perAddress = defaultEventStreamsPerAddress;
};

// Sets the caps; before the server starts.
void setEventStreamLimits(const EventStreamLimits& limits);
EventStreamLimits eventStreamLimits();

// A new stream for a client address, holding one of the slots until it is
// destroyed; null with status 503 (all slots taken) or 429 (the address
// holds its share).
std::shared_ptr<EventStream> openEventStream(const std::string& address, int& status);
// Streams open now.
unsigned openEventStreamCount();
// Ends every open stream (the service stops): each connection is resumed so
// that the daemon may stop.
void closeAllEventStreams();
// Ends a stream as soon as its client goes away (hang_up_watch.h), rather
// than at the next text sent to it; started and stopped with the server,
// stopped only once no daemon runs.
bool watchEventStreamClients();
void stopWatchingEventStreamClients();
