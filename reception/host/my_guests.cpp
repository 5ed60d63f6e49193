// A signed-in host's own guests, visits and contacts.
#include <algorithm>

#include "answer/desk_call.h"
#include "rules/staff_contact.h"
#include "rules/validation.h"
#include "host/host_api.h"
#include "host/host_events.h"
#include "store/personal_keys.h"
#include "downloads/install_line.h"
#include "store/audit.h"
#include "store/clock.h"
#include "store/outbox.h"
#include "text/text.h"
#include "alerts/mail_message.h"

using nlohmann::json;

namespace {

constexpr std::int64_t visitsShownMs = 30LL * 24 * 60 * 60 * 1000;
constexpr std::size_t maxVisitsShown = 1000;
constexpr long testSendTimeoutMs = 5000;
// Set by the page's "On my way": an acknowledgement, as by the reply link.
constexpr char acknowledgedOnPage[] = "page";

// Archives the guest if it waits for this host; notFound for another host's guest.
Outcome acknowledge(std::int64_t id, std::int64_t staffId, NotificationRow& guest) {
  WriteTransaction transaction;
  if (!transaction.begun()) return transaction.beginOutcome();
  Outcome found = waitingGuest(transaction, id, guest);
  if (found != Outcome::ok) return found;
  if (guest.staffId != staffId) return Outcome::notFound;
  Outcome archived = archiveWaitingGuest(transaction, id, acknowledgedOnPage);
  return archived == Outcome::ok ? transaction.commit() : archived;
}

const char* visitOutcome(const NotificationRow& row) {
  if (!row.archivedAt) return "waiting";
  if (row.archivedBy == "desk" || row.archivedBy == signedOutArchive) return "withdrawn";
  if (row.archivedBy == "reassigned") return "reassigned";
  return "acknowledged";
}

json sendResult(const SendOutcome& sent) {
  return {{"delivered", sent.delivered}, {"status", sent.status}, {"error", sent.error}};
}

std::string testMail(const HostSettings& settings, const std::string& to) {
  return plainTextMail({settings.smtp.from, to, "Test alert from reception", newMessageId(), currentTimeMs()},
                       "This is a test: alerts for your guests reach this address.\n");
}

// {"key", "install"}, never cached: the key is a credential.
HttpResponse notifierKeyAnswer(const HttpRequest& request, const std::string& key) {
  HttpResponse answer = jsonAnswer(200, {{"key", key}, {"install", notifierInstallLine(notifierServiceHost(request), key)}});
  answer.headers.emplace_back("Cache-Control", "no-store");
  return answer;
}

}  // namespace

AuditedChange auditedChange(const HostCall& call, const char* action, std::function<std::string()> detail) {
  return AuditedChange([&call, action, detail = std::move(detail)] {
    return AuditEntry{0, 0, call.member.displayName, call.request.clientAddress, action, detail()};
  });
}

HttpResponse hostEvents(const HostCall& call) {
  int status = 0;
  std::shared_ptr<EventStream> stream = openEventStream(call.request.clientAddress, status);
  if (!stream) {
    HttpResponse refused = errorAnswer(status, status == 429 ? "Too many pages are open on this computer."
                                                             : "Too many pages are open. Please try again later.");
    refused.headers.emplace_back("Retry-After", "5");
    return refused;
  }
  addHostStream(call.member.id, hostSessionToken(call.request), stream);
  HttpResponse answer;
  answer.contentType = "text/event-stream; charset=utf-8";
  answer.headers = {{"Cache-Control", "no-store"}, {"X-Accel-Buffering", "no"}};
  answer.stream = std::move(stream);
  return answer;
}

HttpResponse acknowledgeMyGuest(const HostCall& call) {
  NotificationRow guest;
  AuditedChange audited = auditedChange(call, "acknowledge", [&call, &guest] {
    return "guest #" + std::to_string(call.id) + " " + guest.headline + " acknowledged by host";
  });
  switch (Outcome result = acknowledge(call.id, call.member.id, guest)) {
    case Outcome::ok:
      return jsonAnswer(200, {{"acknowledged", call.id}, {"guest", guest.headline}});
    case Outcome::notFound: return errorAnswer(404, "That guest is not waiting for you.");
    default: return storeFailure(result);
  }
}

HttpResponse myVisits(const HostCall& call) {
  std::int64_t now = currentTimeMs();
  VisitorFilter filter{now - visitsShownMs, now + 1, call.member.displayName};
  std::vector<NotificationRow> rows;
  Outcome read = visitorLog(filter, maxVisitsShown, rows);
  if (read != Outcome::ok) return storeFailure(read, Failure::readFailed);
  json visits = json::array();
  for (auto row = rows.rbegin(); row != rows.rend(); ++row) {
    if (row->staffId != call.member.id) continue;
    visits.push_back({{"id", row->id},
                      {"guest", row->headline},
                      {"note", row->detail},
                      {"arrivedAt", row->arrivedAt},
                      {"outcome", visitOutcome(*row)},
                      {"endedAt", optionalTime(row->archivedAt)}});
  }
  return jsonAnswer(200, {{"visits", visits}});
}

HttpResponse myContacts(const HostCall& call) {
  return jsonAnswer(200, {{"email", call.member.email},
                          {"alertUrl", call.member.alertUrl},
                          {"emailFromDirectory", call.member.fromDirectory}});
}

HttpResponse updateMyContacts(const HostCall& call) {
  StaffContact contact{call.member.email, call.member.alertUrl};
  std::string error = parseStaffContact(call.request.body, contact, call.settings.alertTargets);
  if (!error.empty()) return errorAnswer(400, error);
  // The directory's address wins at every sync: it is not the host's to change here.
  if (call.member.fromDirectory && contact.email != call.member.email) {
    return errorAnswer(400, "Your email address comes from the staff directory and cannot be changed here.");
  }
  AuditedChange audited = auditedChange(call, "host-contact", [&contact] {
    return "email " + (contact.email.empty() ? std::string("none") : maskedTarget(contact.email)) + ", push " +
           (contact.alertUrl.empty() ? std::string("none") : maskedTarget(contact.alertUrl));
  });
  switch (Outcome result = setStaffContact(call.member.id, contact)) {
    case Outcome::ok:
      return jsonAnswer(200, {{"email", contact.email},
                              {"alertUrl", contact.alertUrl},
                              {"emailFromDirectory", call.member.fromDirectory}});
    case Outcome::notFound: return errorAnswer(404, "You are no longer in the staff directory.");
    default: return storeFailure(result);
  }
}

HttpResponse testMyContacts(const HostCall& call) {
  json results = json::object();
  if (!call.member.email.empty() && !call.settings.smtp.url.empty()) {
    results["email"] = sendResult(sendMail(call.settings.smtp, call.member.email, testMail(call.settings, call.member.email),
                                           testSendTimeoutMs));
  }
  if (!call.member.alertUrl.empty()) {
    json body = {{"text", "Test alert from reception for " + call.member.displayName}, {"test", true}};
    results["push"] = sendResult(postWebhook(call.member.alertUrl, body.dump(), "test-" + std::to_string(currentTimeMs()),
                                             call.settings.alertTargets, testSendTimeoutMs));
  }
  recordAudit(call.member.displayName, call.request.clientAddress, "host-contact-test",
              counted(static_cast<std::int64_t>(results.size()), "channel", "channels"));
  return jsonAnswer(200, {{"results", results}});
}

HttpResponse myNotifierKey(const HostCall& call) {
  std::string key;
  Outcome made = personalKeyOf(call.member.id, key);
  if (made != Outcome::ok) return storeFailure(made, Failure::readFailed);
  return notifierKeyAnswer(call.request, key);
}

HttpResponse newMyNotifierKey(const HostCall& call) {
  std::string key;
  AuditedChange audited = auditedChange(call, "notifier-key-new", [&call] { return "#" + std::to_string(call.member.id); });
  Outcome made = replacePersonalKey(call.member.id, key);
  if (made == Outcome::notFound) return errorAnswer(404, "You are no longer in the staff directory.");
  if (made != Outcome::ok) return storeFailure(made);
  return notifierKeyAnswer(call.request, key);
}
