#include "alerts/invitation_mail.h"

#include <sodium.h>

#include "alerts/mail_message.h"
#include "answer/answer_table.h"
#include "store/token_hash.h"
#include "text/qr_png.h"

namespace {

constexpr char qrContentId[] = "code@vestibra";

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

// The instructions' lines as HTML: escaped, each line break kept.
std::string htmlLines(const std::string& text) {
  std::string html;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    html += (html.empty() ? "" : "<br>\r\n") + htmlEscaped(line);
    at = end + 1;
  }
  return html;
}

// The same words as the text, with the QR code shown where the text says "below".
std::string mailHtml(const InvitationRow& invitation, const VisitSettings& settings, bool withQr) {
  const InvitationEntry& entry = invitation.entry;
  std::string when = htmlEscaped(entry.expectedOn) + (entry.expectedAt.empty() ? "" : " at " + htmlEscaped(entry.expectedAt));
  std::string html = "<!DOCTYPE html>\r\n<html><head><meta charset=\"utf-8\"></head>\r\n"
                     "<body style=\"font-family: sans-serif; color: #222;\">\r\n";
  html += "<p>Hello " + htmlEscaped(entry.guestName) + ",</p>\r\n";
  html += "<p>" + htmlEscaped(invitation.hostName) + " expects you on " + when + ".</p>\r\n";
  html += "<p>Your code: <strong style=\"font-size: 1.4em; letter-spacing: 0.1em;\">" + htmlEscaped(invitation.code) +
          "</strong></p>\r\n";
  html += "<p>At reception, type the code at the check-in tablet or show it the QR code below. The code works once, "
          "on that day only.</p>\r\n";
  if (withQr) {
    html += "<p><img src=\"cid:" + std::string(qrContentId) + "\" alt=\"QR code of " + htmlEscaped(invitation.code) +
            "\" width=\"200\" height=\"200\"></p>\r\n";
  }
  if (!settings.visitorInstructions.empty()) html += "<p>" + htmlLines(settings.visitorInstructions) + "</p>\r\n";
  return html + "</body></html>\r\n";
}

// The HTML and, beside it, the QR image it shows (multipart/related).
std::string htmlWithQr(const InvitationRow& invitation, const VisitSettings& settings) {
  std::string png = qrPng(invitation.code);
  std::string boundary = "vestibra-" + randomHex(12);
  std::string part = "Content-Type: multipart/related; boundary=\"" + boundary + "\"\r\n\r\n";
  // Base64, since an arrival text's line may be longer than mail allows.
  part += "--" + boundary + "\r\nContent-Type: text/html; charset=UTF-8\r\nContent-Transfer-Encoding: base64\r\n\r\n";
  part += base64Lines(mailHtml(invitation, settings, !png.empty()));
  if (!png.empty()) {
    part += "--" + boundary + "\r\nContent-Type: image/png; name=\"code.png\"\r\nContent-Transfer-Encoding: base64\r\n";
    part += "Content-ID: <" + std::string(qrContentId) + ">\r\nContent-Disposition: inline; filename=\"code.png\"\r\n\r\n";
    part += base64Lines(png);
  }
  return part + "--" + boundary + "--\r\n";
}

}  // namespace

std::string invitationMail(const InvitationRow& invitation, const VisitSettings& settings, const std::string& from,
                           std::int64_t now) {
  std::string boundary = "vestibra-" + randomHex(12);
  std::string message;
  message += mailHeaderLines({from, invitation.entry.guestEmail,
                              "Your visit on " + invitation.entry.expectedOn + ": code " + invitation.code,
                              newMessageId(), now});
  // The text for mail programs that show no HTML; the HTML with the QR code inline.
  message += "Content-Type: multipart/alternative; boundary=\"" + boundary + "\"\r\n\r\n";
  message += "--" + boundary + "\r\nContent-Type: text/plain; charset=UTF-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n";
  message += mailText(invitation, settings) + "\r\n";
  message += "--" + boundary + "\r\n" + htmlWithQr(invitation, settings);
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
