// The alerts' records: the staff's contact columns, the chain's steps taken
// per guest, the outbox of messages to send with their attempts (invitations'
// mails too), and the reply links' tokens (stored hashed).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "store/alert_records.h"
#include "store/database.h"
#include "store/staff.h"

// The contacts of the active staff who have any, by staff id.
Outcome staffContacts(std::map<std::int64_t, StaffContact>& contacts);
// notFound for a staff id not in the directory.
Outcome setStaffContact(std::int64_t staffId, const StaffContact& contact);
// The same within the caller's write (a member just added).
Outcome setStaffContact(WriteTransaction& transaction, std::int64_t staffId, const StaffContact& contact);

// A waiting guest as the chain sees it.
struct AlertGuest {
  std::int64_t notificationId = 0;
  std::int64_t staffId = 0;
  std::string host;
  std::string guest;
  std::string note;
  std::int64_t arrivedAt = 0;
  // hostLastPollAt from the database, without the unsaved polls; seenAt not
  // yet known (the caller places the guest on the host's screens).
  GuestTimes times;
  std::optional<std::int64_t> deliveredAt;
  std::optional<std::int64_t> seenOnPageAt;
  ChainProgress progress;
  StaffContact contact;
};
// The waiting guests with a step of the chain still to take.
Outcome guestsForAlerts(std::vector<AlertGuest>& guests);

struct OutboxMessage {
  std::string channel;  // "email", "push", "team-webhook", "team-email"
  std::string target;   // the address or URL
  std::string payload;  // the whole message or JSON body
  std::string idempotencyKey;
};

// Records the step as taken and queues its messages, in one transaction;
// with replyTokenHash, the reply link's token too. False when the step was
// already taken (by another run) or the write failed: nothing is queued then.
bool takeAlertStep(std::int64_t notificationId, AlertStep step, const std::vector<OutboxMessage>& messages,
                   const std::string& replyTokenHash, std::int64_t now);

// An invitation's mail to its guest, in the invitation's own transaction:
// a row of the outbox tied to the invitation (invitation_id) rather than to
// a guest's record (its notification_id is 0), sent and retried as an
// alert's mail. It goes with the invitation (retention, erasure: a trigger
// of the invitation's table).
bool queueInvitationMail(WriteTransaction& transaction, std::int64_t invitationId, const OutboxMessage& message,
                         std::int64_t now);
// The invitation's mail not yet sent is not sent: the invitation was
// cancelled or used. Its payload (the code) is cleared.
bool cancelInvitationMail(WriteTransaction& transaction, std::int64_t invitationId, std::int64_t now);

struct OutboxItem {
  std::int64_t id = 0;
  std::int64_t notificationId = 0;  // 0 for an invitation's mail
  std::string channel;
  std::string target;
  std::string payload;
  std::string idempotencyKey;
  int attempts = 0;
  // false: the guest was acknowledged, withdrawn or reassigned since; or
  // the invitation of an invitation's mail is no longer open.
  bool guestWaiting = false;
  std::int64_t invitationId = 0;  // the invitation an invitation's mail is for
};
// Pending messages whose next attempt is due, oldest first: those sent by
// mail, or the others.
Outcome dueOutboxItems(std::int64_t now, bool mail, int limit, std::vector<OutboxItem>& items);
// How long a message is held by the sender that claimed it, by default:
// longer than any send may take, after which another sender (of this
// instance or another) takes it again, so a sender killed mid-send loses no
// message.
constexpr std::int64_t outboxClaimMs = std::int64_t{60} * 1000;
// Claims a due message for one send, for claimMs: false when it is no longer
// due (another sender claimed it, it was sent or cancelled) or the write failed.
bool claimOutboxItem(std::int64_t id, std::int64_t now, std::int64_t claimMs = outboxClaimMs);
// Saves an attempt: sent, pending again at retryAt, or failed. A final
// message's payload (which holds the reply link) is cleared.
bool recordAttempt(std::int64_t id, const SendOutcome& outcome, std::optional<std::int64_t> retryAt, std::int64_t now);
// A message not sent because its guest no longer waits.
bool cancelOutboxItem(std::int64_t id, std::int64_t now);

// What was sent or tried per guest, for the board.
struct AlertState {
  std::string channel;
  std::string state;  // "pending", "sent", "failed", "cancelled"
  int attempts = 0;
  std::optional<std::int64_t> lastStatus;
  std::string lastError;
  std::int64_t updatedAt = 0;
  std::int64_t nextAttemptAt = 0;
};
// Those of the given guests only: the board lists a bounded number of them.
Outcome alertStatesOf(const std::vector<std::int64_t>& guests, std::map<std::int64_t, std::vector<AlertState>>& states);

// The reply link's token and the hash stored for it.
struct ReplyToken {
  std::string token;  // 256 random bits, URL-safe base64
  std::string hash;
};
ReplyToken newReplyToken();
std::string replyTokenHash(const std::string& token);
// Saves the hash of a reply link's token for the guest, just before the
// message that carries the link is sent: the link itself is never stored.
bool addReplyToken(std::int64_t notificationId, const std::string& hash, std::int64_t now);

// busy: another program held the database; failed: nothing was saved (logged).
enum class ReplyStatus { valid, unknown, used, ended, busy, failed };
struct ReplyGuest {
  ReplyStatus status = ReplyStatus::unknown;
  std::int64_t notificationId = 0;
  std::string guest;
  std::string host;
  std::int64_t arrivedAt = 0;
};
ReplyGuest findReplyGuest(const std::string& token);
// Archives the guest as acknowledged by reply and uses up the token, in one
// transaction; the status the token had (failed: nothing was saved).
ReplyStatus acknowledgeByReply(const std::string& token, ReplyGuest& guest);
