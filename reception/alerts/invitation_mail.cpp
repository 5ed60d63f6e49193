#include "alerts/invitation_mail.h"

#include <sodium.h>

#include "alerts/mail_message.h"
#include "store/token_hash.h"
#include "text/qr_png.h"

namespace {

// Base64 in lines of 76 characters, as MIME wants.
std::string base64Lines(const std::string& bytes) {
  std::string encoded(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(encoded.data(), encoded.size(), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                    sodium_base64_VARIANT_ORIGINAL);
  encoded.resize(encoded.size() - 1);
  std::string lines;
  for (std::size_t at = 0; at < encoded.size(); at += 76) lines += encoded.substr(at, 76) + "\r\n";
  return lines;
}

std::string mailText(const InvitationRow& invitation, const VisitSettings& settings) {
  const InvitationEntry& entry = invitation.entry;
  std::string text = "Hello " + entry.guestName + ",\r\n\r\n";
  text += invitation.hostName + " expects you on " + entry.expectedOn;
  text += entry.expectedAt.empty() ? "" : " at " + entry.expectedAt;
  text += ".\r\n\r\nYour code: " + invitation.code + "\r\n\r\n";
  text += "At reception, type the code at the check-in tablet or show it the QR code below. The code works once,\r\n"
          "on that day only.\r\n";
  if (!settings.visitorInstructions.empty()) text += "\r\n" + crlfLines(settings.visitorInstructions) + "\r\n";
  return text;
}

}  // namespace

std::string invitationMail(const InvitationRow& invitation, const VisitSettings& settings, const std::string& from,
                           std::int64_t now) {
  std::string boundary = "vestibra-" + randomHex(12);
  std::string message;
  message += mailHeaderLines({from, invitation.entry.guestEmail,
                              "Your visit on " + invitation.entry.expectedOn + ": code " + invitation.code,
                              newMessageId(), now});
  message += "Content-Type: multipart/related; boundary=\"" + boundary + "\"\r\n\r\n";
  message += "--" + boundary + "\r\nContent-Type: text/plain; charset=UTF-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n";
  message += mailText(invitation, settings) + "\r\n";
  std::string png = qrPng(invitation.code);
  if (!png.empty()) {
    message += "--" + boundary + "\r\nContent-Type: image/png; name=\"code.png\"\r\nContent-Transfer-Encoding: base64\r\n";
    message += "Content-ID: <code@vestibra>\r\nContent-Disposition: inline; filename=\"code.png\"\r\n\r\n";
    message += base64Lines(png);
  }
  message += "--" + boundary + "--\r\n";
  return message;
}

InvitationMailMaker invitationMailMaker(const VisitSettings& settings) {
  return [&settings](const InvitationRow& invitation) -> std::optional<OutboxMessage> {
    const std::string& to = invitation.entry.guestEmail;
    if (to.empty() || settings.mailFrom.empty()) return std::nullopt;
    return OutboxMessage{"email", to, invitationMail(invitation, settings, settings.mailFrom, invitation.createdAt),
                         randomHex(16)};
  };
}
