#include "store/poll_cache.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "store/delivery_recorder.h"
#include "store/staff.h"

namespace {

struct StaffPart {
  std::int64_t revision = -1;
  // The first two words of each active member's name -> the member (the
  // lowest id, as a read by name would find).
  std::unordered_map<std::string, std::int64_t> byTwoWords;
  std::string names;  // listUsers' answer
};

struct HostGuests {
  std::string records;  // joined with ",", oldest first
  std::vector<std::int64_t> undelivered;
};

struct GuestPart {
  std::int64_t revision = -1;
  std::unordered_map<std::int64_t, HostGuests> byHost;  // staff id -> waiting guests
};

// Never changed once installed: a poll holds the one it found while it answers.
struct PollState {
  std::uint64_t epoch = 0;
  PollEncoding encoding;
  std::shared_ptr<const StaffPart> staff;
  std::shared_ptr<const GuestPart> guests;
  // On PostgreSQL the data version is the process's count of changes the
  // server announced, the same on every thread: the count this state is up
  // to date with (-1: unknown), so that any thread answers from memory
  // without a read, also while the server does not answer.
  std::int64_t sharedVersion = -1;
};

std::atomic<std::uint64_t> currentEpoch{1};
std::mutex installMutex;
std::shared_ptr<const PollState> current;  // only through std::atomic_load and std::atomic_store

// The calling thread's last look that found the memory up to date: its read
// connection's data version then. The same version on the same connection
// means that nobody has committed since.
struct ThreadLook {
  std::uint64_t connection = 0;
  std::uint64_t epoch = 0;
  std::int64_t dataVersion = 0;
};
thread_local ThreadLook lastLook;

bool sameEncoding(const PollEncoding& a, const PollEncoding& b) {
  return a.codePage == b.codePage && a.name == b.name && a.record == b.record;
}

// The reads of one refresh see one snapshot of the database: the revisions
// read then are those of the rows read.
class ReadSnapshot {
 public:
  explicit ReadSnapshot(ReadSession& session) : session_(session) { begun_ = session_.prepare("BEGIN").run(); }
  ~ReadSnapshot() {
    if (begun_) session_.prepare("COMMIT").run();
  }
  ReadSnapshot(const ReadSnapshot&) = delete;
  ReadSnapshot& operator=(const ReadSnapshot&) = delete;
  bool begun() const { return begun_; }

 private:
  ReadSession& session_;
  bool begun_ = false;
};

Outcome readRevisions(ReadSession& session, std::int64_t& staff, std::int64_t& guests) {
  Statement query = session.prepare("SELECT staff, guests FROM poll_revision WHERE id = 1");
  if (query.step() != SQLITE_ROW) return session.fail("read of the poll revisions");
  staff = query.integer(0);
  guests = query.integer(1);
  return Outcome::ok;
}

Outcome readStaff(ReadSession& session, const PollEncoding& encoding, StaffPart& part) {
  Statement query = session.prepare(
      "SELECT id, display_name FROM staff WHERE removed_at IS NULL "
      "ORDER BY last_name COLLATE NOCASE, first_name COLLATE NOCASE, id");
  int result;
  std::string encoded;
  while ((result = query.step()) == SQLITE_ROW) {
    std::int64_t id = query.integer(0);
    std::string name = query.text(1);
    auto entry = part.byTwoWords.emplace(lookupName(name), id);
    if (!entry.second && id < entry.first->second) entry.first->second = id;
    if (!encoding.name(name, encoding.codePage, encoded)) continue;
    if (!part.names.empty()) part.names += ',';
    part.names += encoded;
  }
  return result == SQLITE_DONE ? Outcome::ok : session.fail("read of the staff for polls");
}

Outcome readGuests(ReadSession& session, const PollEncoding& encoding, GuestPart& part) {
  Statement query = session.prepare(
      "SELECT id, staff_id, headline, detail, arrived_at, delivered_at IS NULL FROM notification "
      "WHERE archived_at IS NULL ORDER BY arrived_at, id");
  int result;
  while ((result = query.step()) == SQLITE_ROW) {
    PollGuest guest{query.integer(0), query.text(2), query.text(3), query.integer(4)};
    HostGuests& host = part.byHost[query.integer(1)];
    if (!host.records.empty()) host.records += ',';
    host.records += encoding.record(guest, encoding.codePage);
    if (query.integer(5) != 0) host.undelivered.push_back(guest.id);
  }
  return result == SQLITE_DONE ? Outcome::ok : session.fail("read of the waiting guests for polls");
}

// Installs what was read, keeping any part another thread installed newer meanwhile.
void install(std::shared_ptr<PollState> fresh) {
  std::lock_guard<std::mutex> lock(installMutex);
  if (fresh->epoch != currentEpoch) return;  // forgotten meanwhile: another database
  std::shared_ptr<const PollState> installed = std::atomic_load(&current);
  if (installed && installed->epoch == fresh->epoch && sameEncoding(installed->encoding, fresh->encoding)) {
    if (installed->staff->revision > fresh->staff->revision) fresh->staff = installed->staff;
    if (installed->guests->revision > fresh->guests->revision) fresh->guests = installed->guests;
  }
  std::atomic_store(&current, std::shared_ptr<const PollState>(std::move(fresh)));
}

// Which parts a caller needs up to date: listUsers reads no guest.
enum class Parts { staff, all };

// Reads again the parts whose revision moved (all of them for another
// encoding), the guests only when asked for; complete: nothing left stale.
Outcome reread(ReadSession& session, const std::shared_ptr<const PollState>& old, const PollEncoding& encoding,
               std::uint64_t epoch, Parts parts, std::int64_t sharedVersion, bool& complete) {
  ReadSnapshot snapshot(session);
  if (!snapshot.begun()) return session.fail("begin a read");
  std::int64_t staffRevision = 0;
  std::int64_t guestRevision = 0;
  Outcome read = readRevisions(session, staffRevision, guestRevision);
  if (read != Outcome::ok) return read;
  bool reusable = old && old->epoch == epoch && sameEncoding(old->encoding, encoding);
  auto fresh = std::make_shared<PollState>();
  fresh->epoch = epoch;
  fresh->encoding = encoding;
  if (reusable && old->staff->revision == staffRevision) {
    fresh->staff = old->staff;
  } else {
    auto staff = std::make_shared<StaffPart>();
    staff->revision = staffRevision;
    if ((read = readStaff(session, encoding, *staff)) != Outcome::ok) return read;
    fresh->staff = std::move(staff);
  }
  complete = true;
  if (reusable && old->guests->revision == guestRevision) {
    fresh->guests = old->guests;
  } else if (parts == Parts::staff) {
    fresh->guests = reusable ? old->guests : std::make_shared<GuestPart>();
    complete = false;
  } else {
    auto guests = std::make_shared<GuestPart>();
    guests->revision = guestRevision;
    if ((read = readGuests(session, encoding, *guests)) != Outcome::ok) return read;
    fresh->guests = std::move(guests);
  }
  fresh->sharedVersion = complete ? sharedVersion : -1;
  install(std::move(fresh));
  return Outcome::ok;
}

// Brings the memory up to what the database holds. Cheap when nobody has
// committed since this thread last looked: one data version read, which
// neither waits nor reads a table. forced: read the revisions even then
// (after a commit of this process, which this connection's data version may
// not show when reads share the write connection).
Outcome bringUpToDate(const PollEncoding& encoding, bool forced, Parts parts) {
  ReadSession session;
  std::int64_t version = 0;
  Outcome looked = session.dataVersion(version);
  if (looked != Outcome::ok) return looked;
  std::uint64_t epoch = currentEpoch;
  std::shared_ptr<const PollState> state = std::atomic_load(&current);
  bool shared = databaseOnPostgres();
  bool seen = shared ? state && state->sharedVersion == version
                     : lastLook.connection == session.connectionId() && lastLook.epoch == epoch &&
                           lastLook.dataVersion == version;
  bool upToDate = state && state->epoch == epoch && sameEncoding(state->encoding, encoding) && seen;
  if (upToDate && !forced) return Outcome::ok;
  bool complete = false;
  Outcome read = reread(session, state, encoding, epoch, parts, shared ? version : -1, complete);
  if (read == Outcome::ok && complete) lastLook = ThreadLook{session.connectionId(), epoch, version};
  return read;
}

std::shared_ptr<const PollState> upToDateState(const PollEncoding& encoding, Parts parts, Outcome& outcome) {
  outcome = bringUpToDate(encoding, false, parts);
  if (outcome != Outcome::ok) return nullptr;
  std::shared_ptr<const PollState> state = std::atomic_load(&current);
  // Forgotten in between (the database closed): as if it were busy.
  if (!state) outcome = Outcome::busy;
  return state;
}

}  // namespace

Outcome polledNames(const PollEncoding& encoding, std::string& body) {
  Outcome outcome = Outcome::ok;
  std::shared_ptr<const PollState> state = upToDateState(encoding, Parts::staff, outcome);
  if (state) body = state->staff->names;
  return outcome;
}

Outcome pollGuests(const PollEncoding& encoding, const std::string& twoWords, std::int64_t now, std::string& body,
                   std::int64_t onlyMember) {
  Outcome outcome = Outcome::ok;
  std::shared_ptr<const PollState> state = upToDateState(encoding, Parts::all, outcome);
  if (!state) return outcome;
  auto member = state->staff->byTwoWords.find(twoWords);
  if (member == state->staff->byTwoWords.end()) return Outcome::notFound;
  if (onlyMember != 0 && member->second != onlyMember) return Outcome::notFound;
  body.clear();
  auto waiting = state->guests->byHost.find(member->second);
  if (waiting != state->guests->byHost.end()) {
    body = waiting->second.records;
    if (!waiting->second.undelivered.empty()) noteDeliveries(waiting->second.undelivered, now);
  }
  recordPoll(member->second, now);
  return Outcome::ok;
}

void refreshPollStateAfterCommit() {
  std::shared_ptr<const PollState> state = std::atomic_load(&current);
  // Nothing kept (no poll yet, or a command's own process): nothing to bring up to date.
  // Nor from within a read of this thread: the next poll sees the commit by its data version.
  if (!state || ReadSession::openOnThisThread()) return;
  // A failure leaves the data version unseen: the next poll reads again.
  bringUpToDate(state->encoding, true, Parts::all);
}

void resetPollState() {
  std::lock_guard<std::mutex> lock(installMutex);
  ++currentEpoch;
  std::atomic_store(&current, std::shared_ptr<const PollState>());
}
