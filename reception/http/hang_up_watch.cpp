#include "http/hang_up_watch.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>

namespace {

constexpr int eventsPerWait = 64;
constexpr std::uint64_t stopTag = ~std::uint64_t{0};

struct Watch {
  std::mutex mutex;  // start and stop
  std::atomic<int> epoll{-1};
  int wakeUp = -1;
  std::thread thread;
  void (*onHangUp)(std::uint64_t) = nullptr;
};

Watch& watch() {
  static Watch instance;
  return instance;
}

void run(Watch& w, int epoll) {
  epoll_event events[eventsPerWait];
  for (;;) {
    int count = ::epoll_wait(epoll, events, eventsPerWait, -1);
    if (count < 0 && errno != EINTR) return;
    for (int i = 0; i < count; ++i) {
      if (events[i].data.u64 == stopTag) return;
      w.onHangUp(events[i].data.u64);
    }
  }
}

}  // namespace

bool startHangUpWatch(void (*onHangUp)(std::uint64_t tag)) {
  Watch& w = watch();
  std::lock_guard<std::mutex> lock(w.mutex);
  if (w.epoll.load() >= 0) return true;
  int epoll = ::epoll_create1(EPOLL_CLOEXEC);
  int wakeUp = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  epoll_event stop{EPOLLIN, {}};
  stop.data.u64 = stopTag;
  if (epoll < 0 || wakeUp < 0 || ::epoll_ctl(epoll, EPOLL_CTL_ADD, wakeUp, &stop) != 0) {
    if (epoll >= 0) ::close(epoll);
    if (wakeUp >= 0) ::close(wakeUp);
    return false;
  }
  w.onHangUp = onHangUp;
  w.wakeUp = wakeUp;
  w.thread = std::thread(run, std::ref(w), epoll);
  w.epoll.store(epoll);
  return true;
}

void stopHangUpWatch() {
  Watch& w = watch();
  std::lock_guard<std::mutex> lock(w.mutex);
  int epoll = w.epoll.exchange(-1);
  if (epoll < 0) return;
  std::uint64_t one = 1;
  (void)!::write(w.wakeUp, &one, sizeof one);
  w.thread.join();
  ::close(epoll);
  ::close(w.wakeUp);
  w.wakeUp = -1;
}

bool watchHangUp(int socket, std::uint64_t tag) {
  int epoll = watch().epoll.load();
  if (epoll < 0 || socket < 0) return false;
  // One report per socket (EPOLLONESHOT): the stream then ends on its own.
  epoll_event event{EPOLLRDHUP | EPOLLONESHOT, {}};
  event.data.u64 = tag;
  return ::epoll_ctl(epoll, EPOLL_CTL_ADD, socket, &event) == 0;
}

void unwatchHangUp(int socket) {
  int epoll = watch().epoll.load();
  if (epoll >= 0 && socket >= 0) ::epoll_ctl(epoll, EPOLL_CTL_DEL, socket, nullptr);
}
