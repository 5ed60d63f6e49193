#include "store/postgres_changes.h"

#include <poll.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "store/data_changes.h"

namespace {

struct Listener {
  std::thread thread;
  std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;
  ~Listener();
};
Listener listener;

constexpr int waitStepMs = 250;
constexpr auto reconnectPause = std::chrono::milliseconds(500);

bool stopRequested() {
  std::lock_guard<std::mutex> lock(listener.mutex);
  return listener.stopping;
}

void pauseBeforeReconnecting() {
  std::unique_lock<std::mutex> lock(listener.mutex);
  listener.wake.wait_for(lock, reconnectPause, [] { return listener.stopping; });
}

// Waits for announcements on a connection that LISTENs; returns when it is lost or stopping.
void listenOn(PgConnection& connection) {
  while (!stopRequested()) {
    pollfd watched{PQsocket(connection.handle), POLLIN, 0};
    if (watched.fd < 0 || ::poll(&watched, 1, waitStepMs) < 0) return;
    if (PQconsumeInput(connection.handle) == 0) return;
    bool any = false;
    while (PGnotify* notice = PQnotifies(connection.handle)) {
      any = true;
      PQfreemem(notice);
    }
    if (any) {
      dataChanged();
    } else {
      tellLaggingListeners();
    }
    if (PQstatus(connection.handle) != CONNECTION_OK) return;
  }
}

void run(const PgLocation& location) {
  PgConnection connection;
  while (!stopRequested()) {
    if (pgConnect(connection, location) && pgExecute(connection, "LISTEN vestibra_changes")) {
      // Whatever was announced while nobody listened is unknown: as if everything changed.
      dataChanged();
      listenOn(connection);
    }
    pgClose(connection);
    if (!stopRequested()) pauseBeforeReconnecting();
  }
  pgClose(connection);
}

}  // namespace

// A process that ends without closing its storage stops listening on the way out.
Listener::~Listener() { stopChangeListener(); }

void startChangeListener(const PgLocation& location) {
  stopChangeListener();
  std::lock_guard<std::mutex> lock(listener.mutex);
  listener.stopping = false;
  listener.thread = std::thread(run, location);
}

void stopChangeListener() {
  {
    std::lock_guard<std::mutex> lock(listener.mutex);
    listener.stopping = true;
  }
  listener.wake.notify_all();
  if (listener.thread.joinable()) listener.thread.join();
}
