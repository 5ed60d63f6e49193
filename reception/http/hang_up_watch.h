// Notices clients that go away while their event stream waits suspended.
// The daemon does not watch a suspended connection's socket, so without this
// a closed tab would keep its stream slot until the next text is sent to it.
// One thread watches every stream's socket for the peer's end of the
// connection (EPOLLRDHUP); nothing the client sends wakes it.
#pragma once

#include <cstdint>

// Starts the watching thread; onHangUp(tag) runs on it for each socket whose
// peer has gone, once. False when the kernel refuses an epoll instance.
bool startHangUpWatch(void (*onHangUp)(std::uint64_t tag));
// Stops it; nothing is watched afterwards.
void stopHangUpWatch();
// Watches a connected socket under a tag; false when not watching (stopped,
// or the socket is no longer valid).
bool watchHangUp(int socket, std::uint64_t tag);
// Stops watching the socket; must come before the socket is closed.
void unwatchHangUp(int socket);
