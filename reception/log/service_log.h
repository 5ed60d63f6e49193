// The service's own log: one line per event on standard error, where the
// journal (or ./run's log file) keeps it. Logins, failed logins, throttling,
// account changes and refused requests, so an administrator can see why
// someone cannot reach the desk and that someone is guessing passwords.
#pragma once

#include <cstdint>
#include <string>

// Writes the time (unless to the journal), "vestibra-reception: " and the
// line; control bytes of client-sent text (names, Host headers) are shown
// escaped so no one can forge a line.
void logEvent(const std::string& line);
// logEvent at most once a minute per key (an address and a reason, say);
// true when the line was written.
bool logEventOncePerMinute(const std::string& key, const std::string& line, std::int64_t nowMs);
// Forgets which keys were logged; for tests.
void forgetLoggedKeys();
// "refused 421 from ADDRESS: reason detail", at most once a minute per
// address, status and reason (the detail, client text, is not part of the key).
void logRefusal(const std::string& address, int status, const std::string& reason, std::int64_t nowMs,
                const std::string& detail = "");
