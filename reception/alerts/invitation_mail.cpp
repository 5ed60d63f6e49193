#include "alerts/invitation_mail.h"

#include <sodium.h>

#include <condition_variable>
#include <ctime>
#include <deque>
#include <mutex>
#include <thread>

#include "alerts/alert_messages.h"
#include "log/service_log.h"
#include "text/qr_png.h"

namespace {

constexpr std::size_t maxQueuedMails = 256;

struct Mailer {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::pair<std::string, std::string>> queue;  // to, message
  SmtpSettings smtp;
  std::thread thread;
  bool stopping = false;

  void run() {
    std::unique_lock<std::mutex> lock(mutex);
    while (true) {
      wake.wait(lock, [this] { return stopping || !queue.empty(); });
      if (stopping || queue.empty()) return;
      auto [to, message] = std::move(queue.front());
      queue.pop_front();
      SmtpSettings settings = smtp;
      lock.unlock();
      SendOutcome sent = sendMail(settings, to, message);
      if (!sent.delivered) logEvent("an invitation could not be mailed: " + sent.error);
      lock.lock();
    }
  }
};

Mailer& mailer() {
  static Mailer instance;
  return instance;
}

// RFC 5322 dates are in English whatever the locale: the C locale's names.
std::string mailDate(std::int64_t ms) {
  std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm local{};
  char text[64] = {};
  if (localtime_r(&seconds, &local) == nullptr || std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S %z", &local) == 0) {
    return "";
  }
  return text;
}

std::string randomHex(std::size_t bytes) {
  std::string hex;
  for (std::size_t i = 0; i < bytes; ++i) {
    unsigned byte = randombytes_uniform(256);
    hex += "0123456789abcdef"[byte >> 4];
    hex += "0123456789abcdef"[byte & 15];
  }
  return hex;
}

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

// Bare line feeds of a configured text made CRLF, as mail needs.
std::string crlfText(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\r') continue;
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

std::string mailText(const InvitationRow& invitation, const VisitSettings& settings) {
  const InvitationEntry& entry = invitation.entry;
  std::string text = "Hello " + entry.guestName + ",\r\n\r\n";
  text += invitation.hostName + " expects you on " + entry.expectedOn;
  text += entry.expectedAt.empty() ? "" : " at " + entry.expectedAt;
  text += ".\r\n\r\nYour code: " + invitation.code + "\r\n\r\n";
  text += "At reception, type the code at the check-in tablet or show it the QR code below. The code works once,\r\n"
          "on that day only.\r\n";
  if (!settings.visitorInstructions.empty()) text += "\r\n" + crlfText(settings.visitorInstructions) + "\r\n";
  return text;
}

}  // namespace

void configureInvitationMail(const SmtpSettings& smtp) {
  Mailer& m = mailer();
  std::lock_guard<std::mutex> lock(m.mutex);
  m.smtp = smtp;
}

std::string invitationMail(const InvitationRow& invitation, const VisitSettings& settings, const std::string& from,
                           std::int64_t now) {
  std::string boundary = "vestibra-" + randomHex(12);
  std::string message;
  message += "Date: " + mailDate(now) + "\r\n";
  message += "From: " + from + "\r\n";
  message += "To: " + invitation.entry.guestEmail + "\r\n";
  message += "Subject: " + encodedHeaderValue("Your visit on " + invitation.entry.expectedOn + ": code " + invitation.code) + "\r\n";
  message += "Message-ID: <" + randomHex(16) + "@vestibra>\r\n";
  message += "MIME-Version: 1.0\r\nAuto-Submitted: auto-generated\r\n";
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

void queueInvitationMail(const InvitationRow& invitation, const VisitSettings& settings) {
  Mailer& m = mailer();
  std::lock_guard<std::mutex> lock(m.mutex);
  if (invitation.entry.guestEmail.empty() || m.smtp.url.empty()) return;
  if (m.queue.size() >= maxQueuedMails) {
    logEvent("an invitation was not mailed: too many are waiting to be sent");
    return;
  }
  std::string message = invitationMail(invitation, settings, m.smtp.from, static_cast<std::int64_t>(std::time(nullptr)) * 1000);
  m.stopping = false;
  if (!m.thread.joinable()) m.thread = std::thread([&m] { m.run(); });
  m.queue.emplace_back(invitation.entry.guestEmail, std::move(message));
  m.wake.notify_one();
}

void stopInvitationMailer() {
  Mailer& m = mailer();
  {
    std::lock_guard<std::mutex> lock(m.mutex);
    m.stopping = true;
  }
  m.wake.notify_all();
  if (m.thread.joinable()) m.thread.join();
}
