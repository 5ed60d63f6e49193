// Alert messages (input: guest, host and note, NUL apart). Whatever the
// names hold (invalid UTF-8, line breaks, control bytes), a mail's headers
// stay the service's own, in CRLF lines, with encoded words of at most 75
// characters that decode to the name made valid; the whole mail is valid
// UTF-8; a webhook body is JSON; a chat line is one line.
#include <nlohmann/json.hpp>
#include <sodium.h>

#include "alerts/alert_messages.h"
#include "alerts/mail_message.h"
#include "fuzz_check.h"
#include "text/code_page.h"
#include "text/utf8.h"

namespace {

const char* const headerNames[] = {"Date: ", "From: ", "To: ", "Subject: ", "Message-ID: ", "MIME-Version: ",
                                   "Content-Type: ", "Content-Transfer-Encoding: ", "Auto-Submitted: "};

bool knownHeader(std::string_view line) {
  for (const char* name : headerNames) {
    if (line.substr(0, std::string_view(name).size()) == name) return true;
  }
  return false;
}

// The text of encoded words, or plain ASCII as it is.
std::string decodedHeader(const std::string& value) {
  if (value.rfind("=?UTF-8?B?", 0) != 0) return value;
  std::string decoded;
  for (std::size_t at = 0; at < value.size();) {
    std::size_t end = value.find("\r\n ", at);
    if (end == std::string::npos) end = value.size();
    std::string word = value.substr(at, end - at);
    FUZZ_CHECK(word.size() <= 75 && word.rfind("=?UTF-8?B?", 0) == 0 && word.size() >= 12);
    std::string base64 = word.substr(10, word.size() - 12);
    std::string bytes(base64.size(), '\0');
    std::size_t length = 0;
    FUZZ_CHECK(sodium_base642bin(reinterpret_cast<unsigned char*>(&bytes[0]), bytes.size(), base64.c_str(),
                                 base64.size(), nullptr, &length, nullptr, sodium_base64_VARIANT_ORIGINAL) == 0);
    bytes.resize(length);
    FUZZ_CHECK(!bytes.empty() && isValidUtf8(bytes));
    decoded += bytes;
    at = end + 3;
  }
  return decoded;
}

void checkMail(const AlertFacts& facts) {
  std::string mail = emailMessage({"desk@example.com", "anna@example.com", "k1@desk.example"}, facts);
  FUZZ_CHECK(isValidUtf8(mail));
  std::size_t end = mail.find("\r\n\r\n");
  FUZZ_CHECK(end != std::string::npos);
  std::string headers = mail.substr(0, end);
  for (std::size_t at = 0; at <= headers.size();) {
    std::size_t lineEnd = headers.find("\r\n", at);
    if (lineEnd == std::string::npos) lineEnd = headers.size();
    std::string_view line = std::string_view(headers).substr(at, lineEnd - at);
    FUZZ_CHECK(line.find('\n') == std::string_view::npos && line.find('\r') == std::string_view::npos);
    FUZZ_CHECK(knownHeader(line) || (!line.empty() && line[0] == ' '));
    at = lineEnd + 2;
  }
  for (std::size_t at = 0; (at = mail.find('\n', at)) != std::string::npos; ++at) FUZZ_CHECK(at > 0 && mail[at - 1] == '\r');
}

void checkSubject(const std::string& guest) {
  std::string value = "Guest waiting: " + guest;
  std::string encoded = encodedHeaderValue(value);
  std::string decoded = decodedHeader(encoded);
  if (encoded.rfind("=?UTF-8?B?", 0) == 0) FUZZ_CHECK(decoded == withValidUtf8(value));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input = fuzzBytes(data, size);
  AlertFacts facts;
  facts.guest = takePart(input, '\0');
  facts.host = takePart(input, '\0');
  facts.note = takePart(input, '\0');
  facts.step = input.empty() || input[0] % 2 == 0 ? AlertStep::host : AlertStep::team;
  facts.arrivedAt = 1767346205000LL;
  facts.now = facts.arrivedAt + static_cast<std::int64_t>(size) * 1000;
  facts.acknowledgeUrl = facts.step == AlertStep::host ? "http://desk.example/ack/TOKEN" : "";
  checkMail(facts);
  checkSubject(facts.guest);
  nlohmann::json body = nlohmann::json::parse(webhookBody(facts), nullptr, false);
  FUZZ_CHECK(body.is_object() && body["text"].is_string());
  std::string line = chatLine(facts);
  FUZZ_CHECK(line.find('\n') == std::string::npos && line.find('\r') == std::string::npos);
  return 0;
}
