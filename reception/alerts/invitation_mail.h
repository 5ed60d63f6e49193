// The invitation's mail to the guest: the code, the day, the host's name,
// the office's arrival text, and the code as a QR image (PNG, inline).
#pragma once

#include <cstdint>
#include <string>

#include "store/invitations.h"
#include "alerts/alert_sender.h"
#include "rules/visit_settings.h"

// The alerts' mail settings, set at start; without them no invitation is mailed.
void configureInvitationMail(const SmtpSettings& smtp);
// The whole message (headers and MIME body) as sent, from the address given.
std::string invitationMail(const InvitationRow& invitation, const VisitSettings& settings, const std::string& from,
                           std::int64_t now);
// Sends it on the mailer's thread, so no request waits for the mail server.
// Nothing is sent without a guest address or SMTP settings.
void queueInvitationMail(const InvitationRow& invitation, const VisitSettings& settings);
void stopInvitationMailer();
