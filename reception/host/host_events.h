// The fan-out of guest changes to the hosts' open pages: one thread that,
// told of every data change (store/data_changes: this process's commits,
// other processes' on the same file, other instances'), re-reads the
// waiting guests once and sends each open stream the events of its own host.
// Streams hold no thread of their own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "http/event_stream.h"

// A comment line this often keeps proxies and the browser from closing an
// idle stream (25 s; tests shorten it through this seam, before the first stream).
extern std::int64_t heartbeatIntervalMs;

// Adds a host's stream, opened with that session's token; its "snapshot"
// event follows at once, from a read made after it came, on the fan-out's
// thread (started on first use). After each change, a stream whose member
// has no session left (deactivated, removed, signed out everywhere) gets a
// "signed-out" event and ends; with each heartbeat each stream's own session
// is checked too (signed out on that page).
void addHostStream(std::int64_t staffId, const std::string& sessionToken, const std::shared_ptr<EventStream>& stream);
// Ends the fan-out's thread; before the store closes.
void stopHostEvents();
