// What notifiers poll, kept in memory: the active staff by the two words a
// notifier sends back, the list of names it shows, and each host's waiting
// guests as records already in the notifiers' format. A poll answers from
// it without reading a table. Before each one, the thread's read connection
// asks SQLite whether any connection has committed since it last looked
// (PRAGMA data_version, a look at the WAL's index in shared memory); when one
// has, counters that the schema's triggers raise on every change to staff
// and guests (poll_revision) say which part to read again. Every commit of
// this process does the same at once, on its own thread. On PostgreSQL the
// data version is the count of changes the server announced to this
// process, one for every thread: a poll at rest reads nothing on any thread,
// and so is answered while the server does not answer.
#pragma once

#include <cstdint>
#include <string>

#include "store/database.h"

struct PollGuest {
  std::int64_t id = 0;
  std::string headline;
  std::string detail;
  std::int64_t arrivedAt = 0;
};

// How names and guests go out to notifiers, given by the notifier API with
// every call; the memory is built again when it changes (another code page).
struct PollEncoding {
  std::string codePage;
  // A display name as notifiers show it; false when it cannot be (left out).
  bool (*name)(const std::string& displayName, const std::string& codePage, std::string& encoded) = nullptr;
  // A waiting guest's record.
  std::string (*record)(const PollGuest& guest, const std::string& codePage) = nullptr;
};

// listUsers: the active staff's names, by last name, joined with ",".
Outcome polledNames(const PollEncoding& encoding, std::string& body);
// A poll by a notifier: the records of the waiting guests of the active
// member whose display name starts with twoWords ("First Last"), oldest
// first, joined with ","; notFound for no such member. The poll's time is
// noted, and guests shown for the first time are handed to the delivery
// recorder: the answer does not wait for their delivery to be written.
// With onlyMember (a personal key's member), any other member is notFound
// and nothing of theirs is noted.
Outcome pollGuests(const PollEncoding& encoding, const std::string& twoWords, std::int64_t now, std::string& body,
                   std::int64_t onlyMember = 0);

// After a commit of this process: reads again what the commit changed.
void refreshPollStateAfterCommit();
// Forgets everything (a database is opened or closed).
void resetPollState();
