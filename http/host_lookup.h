// Name lookup that a request can leave behind at its deadline: a resolver
// that does not answer must not hold the window longer than the request's
// own time bound.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// The blocking lookup itself (the socket seam's resolveHostName). Tests put
// in one that does not answer.
extern bool (*blockingHostLookup)(const char* name, std::uint32_t& address);

// The IPv4 address (network byte order) of name, looked up on a thread of its
// own while the caller waits until deadline at the latest. A lookup still
// running is joined rather than started again, so a resolver that never
// answers costs one thread per name. When the resolver is slow and the name
// resolved before, the caller stops waiting halfway to the deadline and gets
// that last good address, leaving time for the request itself; a late answer
// becomes the last good address for the next call. False when the name does
// not resolve, or when the resolver does not answer in time and the name never
// resolved before.
bool lookUpHostBefore(const std::string& name, std::chrono::steady_clock::time_point deadline,
                      std::uint32_t& address);
