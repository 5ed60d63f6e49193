// Invitations: a guest expected on a day, with a code of 8 characters that
// checks them in once, on that day only.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "store/database.h"
#include "store/outbox.h"
#include "store/visits.h"

// The code's characters: no 0/O, 1/I/L, so a code read aloud or typed is not mistaken.
constexpr char invitationCodeAlphabet[] = "23456789ABCDEFGHJKMNPQRSTUVWXYZ";
constexpr std::size_t invitationCodeLength = 8;

struct InvitationEntry {
  std::int64_t staffId = 0;
  std::string guestName;
  std::string company;
  std::string guestEmail;  // "" when no mail is to be sent
  std::string expectedOn;  // YYYY-MM-DD, local
  std::string expectedAt;  // HH:MM or ""
  std::string note;
  std::string createdBy;   // the desk account's name, or "host"
};

struct InvitationRow {
  std::int64_t id = 0;
  std::string code;
  InvitationEntry entry;
  std::string hostName;
  std::int64_t createdAt = 0;
  std::optional<std::int64_t> cancelledAt;
  std::optional<std::int64_t> visitId;  // set when the guest checked in with it
};

// A random code (libsodium's randombytes_uniform over the alphabet).
std::string newInvitationCode();
// The invitation's mail to its guest, made once its code is known; none
// when no mail is to be sent.
using InvitationMailMaker = std::function<std::optional<OutboxMessage>(const InvitationRow&)>;
// notFound: the host is not an active member. The code is unique among open
// invitations (neither used nor cancelled). With mail, the mail is queued in
// the outbox in the same transaction.
Outcome addInvitation(const InvitationEntry& entry, InvitationRow& added, const InvitationMailMaker& mail = nullptr);
// The invitations of a day, by expected time; of a host, from a day on.
Outcome invitationsOfDay(const std::string& day, std::vector<InvitationRow>& rows);
Outcome invitationsOfHost(std::int64_t staffId, const std::string& fromDay, std::vector<InvitationRow>& rows);
// How many invitations with a guest's email the host made on their own page
// since the given time, cancelled ones included: each sent a mail.
Outcome hostInvitationMailsSince(std::int64_t staffId, std::int64_t since, std::int64_t& count);
// Cancels an open invitation (of that host unless staffId is 0), and its
// mail if not yet sent; notFound otherwise.
Outcome cancelInvitation(std::int64_t id, std::int64_t staffId);

// Which invitation to check in: by its code (the kiosk) or its id (the desk).
struct InvitationKey {
  std::string code;
  std::int64_t id = 0;
};
// Checks the guest of an open invitation expected on today in, in one
// transaction: the visit starts (method "invitation") and the invitation is
// used (its mail, if not yet sent, is no longer sent). notFound for a wrong,
// used, cancelled or other day's invitation; conflict when the host's
// waiting guests are at maxWaiting.
Outcome checkInInvitation(const InvitationKey& key, const std::string& today, VisitStart start, int maxWaiting,
                          NotificationRow& announced, std::int64_t& visitId);
// ok when an open invitation expected on today has this code, notFound
// otherwise (a wrong, used, cancelled or other day's code); reads only.
Outcome findOpenInvitationCode(const std::string& code, const std::string& today);
// The visit on site that checked in with code since the given time; notFound when none.
Outcome visitOfInvitationCode(const std::string& code, std::int64_t since, std::int64_t& visitId);
