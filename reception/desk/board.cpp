// The board: the desk's state, announcing, withdrawing and reassigning guests.
#include <map>

#include "desk/contacts.h"
#include "desk/desk.h"
#include "desk/host_pages.h"
#include "rules/validation.h"
#include "rules/visit_settings.h"
#include "store/clock.h"
#include "store/screen_holders.h"
#include "store/visits.h"

using nlohmann::json;

namespace {

// Guests handled (acknowledged, withdrawn, reassigned) that the board lists
// at most: every open desk page fetches the state every 2 s, so the answer
// must not grow with the day's traffic. Older ones are in the visitor log.
constexpr std::size_t maxHandledShown = 200;

// Where a waiting guest stands on the host's screens: the notifier's place
// ("shown", "queued" behind some, or null: not delivered) and whether an
// open page of the host's was sent it.
void addScreen(json& guest, const NotificationRow& row, const GuestScreen& screen) {
  const char* name = row.archivedAt ? nullptr : screenName(screen.place);
  guest["screen"] = name ? json(name) : json(nullptr);
  guest["queuedBehind"] = screen.place == ScreenPlace::queued ? json(screen.queuedBehind) : json(nullptr);
  guest["seenOnPage"] = optionalTime(row.seenOnPageAt);
}

// The announcement's answer with the visit it started.
json withVisit(json answer, std::int64_t visitId, const std::string& company) {
  answer["visitId"] = visitId;
  answer["company"] = company;
  return answer;
}

}  // namespace

HttpResponse state(const DeskCall& call) {
  std::int64_t now = currentTimeMs();
  std::vector<StaffRow> staffRows;
  std::vector<NotificationRow> notificationRows;
  std::map<std::int64_t, std::int64_t> reassigned;
  std::vector<HeldGuest> held;
  bool moreHandled = false;
  for (Outcome read : {activeStaff(staffRows),
                       deskBoardRows(now - archivedShownMs, maxHandledShown, notificationRows, moreHandled),
                       reassignedWaitingSince(reassigned), heldGuests(now - heldAfterArchiveMs, held)}) {
    if (read != Outcome::ok) return storeFailure(read, Failure::readFailed);
  }
  std::map<std::int64_t, GuestScreen> screens = screenPlaces(std::move(held));
  json staff = json::array();
  for (const StaffRow& row : staffRows) staff.push_back(staffJson(row, now));
  json notifications = json::array();
  const FrontDeskPolicy& policy = call.settings.policy;
  for (const NotificationRow& row : notificationRows) {
    GuestScreen screen = screens[row.id];
    notifications.push_back(notificationJson(row));
    addScreen(notifications.back(), row, screen);
    notifications.back()["escalation"] = escalationName(escalationAt(row, screen, now, reassigned, policy));
  }
  json answer = {{"now", now},
                 {"onlineWindowMs", onlineWindowMs},
                 {"staff", staff},
                 {"notifications", notifications},
                 {"handledShown", maxHandledShown},
                 {"moreHandled", moreHandled},
                 {"escalateAfterUnseenMs", policy.unseenAfterMs},
                 {"escalateAfterUnacknowledgedMs", policy.unacknowledgedAfterMs},
                 {"retentionDays", policy.retentionDays}};
  Outcome alerts = addAlertDeskState(answer, call.settings.alertMail, call.account.role != "admin");
  if (alerts == Outcome::ok) alerts = addHostPageState(answer);
  if (alerts != Outcome::ok) return storeFailure(alerts, Failure::readFailed);
  return jsonAnswer(200, answer);
}

HttpResponse announceGuest(const DeskCall& call) {
  GuestEntry entry;
  VisitStart start;
  std::string error = parseGuestEntry(call.request.body, entry, call.settings.codePage);
  if (error.empty()) error = parseCompany(call.request.body, call.settings.codePage, start.company);
  if (!error.empty()) return errorAnswer(400, error);
  start.staffId = entry.staffId;
  start.guestName = entry.headline;
  start.note = entry.detail;
  start.method = "desk";
  start.checkedInBy = call.account.name;
  NotificationRow added;
  std::int64_t visitId = 0;
  int limit = call.settings.maxWaitingPerHost;
  AuditedChange audited = auditedChange(call, "announce", [&added] {
    return "guest #" + std::to_string(added.id) + " " + added.headline + " for " + added.hostName;
  });
  switch (Outcome result = startVisit(start, limit, added, visitId)) {
    case Outcome::ok:
      return jsonAnswer(201, withVisit(notificationJson(added), visitId, start.company));
    case Outcome::notFound: return errorAnswer(404, "That member of staff is no longer in the directory.");
    case Outcome::conflict:
      return errorAnswer(429, "The guests waiting for this member of staff are at the limit (" + std::to_string(limit) +
                                  "). Acknowledge or withdraw some before announcing more.");
    default: return storeFailure(result);
  }
}

namespace {

// The guest as it was when withdrawn, read in the same write.
Outcome withdraw(std::int64_t id, NotificationRow& guest) {
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  Outcome found = waitingGuest(transaction, id, guest);
  if (found == Outcome::ok) found = archiveWaitingGuest(transaction, id, "desk");
  return found == Outcome::ok ? transaction.commit() : found;
}

}  // namespace

HttpResponse withdrawGuest(const DeskCall& call) {
  std::int64_t id = call.id;
  NotificationRow guest;
  AuditedChange audited = auditedChange(call, "withdraw", [id, &guest] {
    return "guest #" + std::to_string(id) + " " + guest.headline + " for " + guest.hostName;
  });
  switch (Outcome result = withdraw(id, guest)) {
    case Outcome::ok:
      // The notifier keeps what it was given until its user clicks Close.
      return jsonAnswer(200, {{"archived", id},
                              {"guestName", guest.headline},
                              {"hostName", guest.hostName},
                              {"stillOnScreen", guest.deliveredAt.has_value()}});
    case Outcome::notFound: return errorAnswer(404, "That guest is not waiting any more.");
    default: return storeFailure(result);
  }
}

namespace {

// In one transaction: archives the waiting guest as "reassigned" and
// announces the same guest, with the original arrival time, to the new host.
HttpResponse reassign(const DeskCall& call, std::int64_t newStaffId, NotificationRow& guest, NotificationRow& moved) {
  WriteTransaction transaction;
  if (!transaction.begun()) return storeFailure(transaction.beginOutcome());
  Outcome found = waitingGuest(transaction, call.id, guest);
  if (found == Outcome::notFound) return errorAnswer(404, "That guest is not waiting any more.");
  if (found != Outcome::ok) return storeFailure(found);
  if (guest.staffId == newStaffId) return errorAnswer(409, "The guest is already waiting for that member of staff.");
  std::string hostName;
  Outcome host = activeHostName(transaction, newStaffId, hostName);
  if (host == Outcome::notFound) return errorAnswer(404, "That member of staff is no longer in the directory.");
  if (host != Outcome::ok) return storeFailure(host);
  Outcome done = moveGuest(transaction, guest, newStaffId, moved);
  moved.hostName = hostName;
  if (done == Outcome::ok) done = transaction.commit();
  if (done != Outcome::ok) return storeFailure(done);
  return jsonAnswer(201, {{"id", moved.id}, {"staffId", moved.staffId}, {"hostName", moved.hostName},
                          {"guestName", moved.headline}, {"arrivedAt", moved.arrivedAt},
                          {"previousHostName", guest.hostName}, {"stillOnPreviousScreen", guest.deliveredAt.has_value()}});
}

}  // namespace

HttpResponse reassignWaitingGuest(const DeskCall& call) {
  json object;
  if (!parseObject(call.request.body, object).empty()) return errorAnswer(400, "The request body must be a JSON object.");
  auto staff = object.find("staffId");
  if (staff == object.end() || !staff->is_number_integer() || staff->get<std::int64_t>() <= 0) {
    return errorAnswer(400, "Choose the member of staff the guest should see instead.");
  }
  NotificationRow guest;
  NotificationRow moved;
  // One desk action, one entry: the guest left one host for another under a new number.
  AuditedChange audited = auditedChange(call, "reassign", [&call, &guest, &moved] {
    return "guest #" + std::to_string(call.id) + " " + moved.headline + " from " + guest.hostName + " to " +
           moved.hostName + " as #" + std::to_string(moved.id);
  });
  return reassign(call, staff->get<std::int64_t>(), guest, moved);
}
