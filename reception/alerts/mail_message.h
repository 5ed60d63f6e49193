// What every mail of this service starts with, so that alerts, invitations
// and sign-in links carry the same RFC 5322 headers.
#pragma once

#include <cstdint>
#include <string>

struct MailEnvelope {
  std::string from;
  std::string to;
  std::string subject;    // UTF-8; encoded when not plain ASCII
  std::string messageId;  // without the angle brackets
  std::int64_t now = 0;   // ms since the epoch, for the Date header
};

// A Message-ID of this service that no other mail has: random hex at "vestibra".
std::string newMessageId();
// Date, From, To, Subject, Message-ID, MIME-Version and Auto-Submitted, each
// line ended by CRLF; line breaks in a value become spaces (no value adds a header).
std::string mailHeaderLines(const MailEnvelope& envelope);
// A whole plain-text message: the header lines, then the UTF-8 body with CRLF line ends.
std::string plainTextMail(const MailEnvelope& envelope, const std::string& body);
// An RFC 2047 encoded-word for a header value that is not plain ASCII.
std::string encodedHeaderValue(const std::string& text);
// Header values never carry a line break: a guest's name cannot add a header.
std::string oneLine(std::string text);
// Bare line feeds made CRLF, as mail needs; a carriage return already there is kept once.
std::string crlfLines(const std::string& text);
