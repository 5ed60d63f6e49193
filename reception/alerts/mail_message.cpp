#include "alerts/mail_message.h"

#include <sodium.h>

#include "text/local_time.h"
#include "text/utf8.h"

namespace {

bool isPlainAscii(const std::string& text) {
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte > 0x7E) return false;
  }
  return true;
}

}  // namespace

std::string newMessageId() {
  unsigned char random[16];
  randombytes_buf(random, sizeof random);
  std::string id;
  for (unsigned char byte : random) id += "0123456789abcdef"[byte >> 4], id += "0123456789abcdef"[byte & 15];
  return id + "@vestibra";
}

std::string mailHeaderLines(const MailEnvelope& envelope) {
  std::string lines;
  // RFC 5322 dates are in English whatever the locale: the C locale's names.
  lines += "Date: " + localTimeText(envelope.now, "%a, %d %b %Y %H:%M:%S %z") + "\r\n";
  lines += "From: " + oneLine(envelope.from) + "\r\n";
  lines += "To: " + oneLine(envelope.to) + "\r\n";
  lines += "Subject: " + encodedHeaderValue(oneLine(envelope.subject)) + "\r\n";
  lines += "Message-ID: <" + oneLine(envelope.messageId) + ">\r\n";
  lines += "MIME-Version: 1.0\r\n";
  lines += "Auto-Submitted: auto-generated\r\n";
  return lines;
}

std::string plainTextMail(const MailEnvelope& envelope, const std::string& body) {
  return mailHeaderLines(envelope) + "Content-Type: text/plain; charset=UTF-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n" +
         crlfLines(withValidUtf8(body));
}

// Header values never carry a line break: a guest's name cannot add a header.
std::string oneLine(std::string text) {
  for (char& c : text) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return text;
}

std::string crlfLines(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\r') continue;
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

std::string encodedHeaderValue(const std::string& rawText) {
  if (isPlainAscii(rawText)) return rawText;
  // Invalid bytes (from a restored database, say) become U+FFFD first, so
  // every piece below is whole characters and ends after at least one.
  std::string text = withValidUtf8(rawText);
  // Encoded words are at most 75 characters: 45 bytes of base64 make 60.
  constexpr std::size_t maxPiece = 45;
  std::string out;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t take = 0;
    while (at + take < text.size()) {
      std::size_t length = utf8CharacterLength(text, at + take);
      if (take + length > maxPiece) break;
      take += length;
    }
    std::string piece = text.substr(at, take);
    std::string base64(sodium_base64_encoded_len(piece.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(&base64[0], base64.size(), reinterpret_cast<const unsigned char*>(piece.data()), piece.size(),
                      sodium_base64_VARIANT_ORIGINAL);
    base64.resize(base64.size() - 1);  // the terminating NUL
    out += (out.empty() ? "" : "\r\n ") + std::string("=?UTF-8?B?") + base64 + "?=";
    at += take;
  }
  return out;
}

