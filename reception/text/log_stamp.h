// The time that starts each line of the service's log when it goes to a
// terminal or a file. Under systemd the journal stamps every line itself,
// so lines written there stay as they were.
#pragma once

#include <cstdint>
#include <string>

// "2026-12-08T09:47:13.123Z " (UTC), or "" when standard error is the journal.
std::string logStamp();

// The stamp of a time in milliseconds since the epoch, as logStamp writes it.
std::string logStampAt(std::int64_t ms);
// Whether JOURNAL_STREAM's "DEVICE:INODE" (as systemd sets it; null when
// unset) names the stream with this device and inode: a child whose standard
// error was passed elsewhere inherits the variable but not the stream.
bool namesJournalStream(const char* journalStream, std::uint64_t device, std::uint64_t inode);
