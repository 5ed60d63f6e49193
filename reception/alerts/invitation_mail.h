// The invitation's mail to the guest: the code, the day, the host's name,
// the office's arrival text, as plain text and as HTML showing the code as
// a QR image (PNG, inline beside it).
#pragma once

#include <cstdint>
#include <string>

#include "store/invitations.h"
#include "rules/visit_settings.h"

// The whole message (headers and MIME body) as sent, from the address given.
std::string invitationMail(const InvitationRow& invitation, const VisitSettings& settings, const std::string& from,
                           std::int64_t now);
// What addInvitation queues in the outbox for the alert worker to send and
// retry, so that neither a stopped service nor a mail server briefly down
// loses it: none without a guest address or SMTP settings (mailFrom "").
// settings must outlive the maker.
InvitationMailMaker invitationMailMaker(const VisitSettings& settings);
