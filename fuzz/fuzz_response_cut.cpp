// The response cut on any received bytes: findBodyOffset, then cutResponse
// as readUrl uses it. The cut falls right after the first "\r\n\r\n"
// of the text (else the first "\n\r\n\r"), never past the last byte, and
// header and body together are exactly the bytes received.
#include <cstring>

#include "fuzz_check.h"
#include "http_client.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Received bytes followed by a NUL, so that the search stops at the last
  // byte received; NUL bytes inside end the text earlier.
  std::string response(fuzzBytes(data, size));
  std::int32_t headerLength = findBodyOffset(response.c_str());
  std::string_view text = untilNul(response);

  std::size_t crlf = text.find("\r\n\r\n");
  std::size_t lfcr = text.find("\n\r\n\r");
  if (crlf != std::string_view::npos) {
    FUZZ_CHECK(headerLength == static_cast<std::int32_t>(crlf + 4));
  } else if (lfcr != std::string_view::npos) {
    FUZZ_CHECK(headerLength == static_cast<std::int32_t>(lfcr + 4));
  } else {
    FUZZ_CHECK(headerLength == -1);
    std::int32_t bodyLength = -1;
    std::unique_ptr<char[]> headers;
    std::unique_ptr<char[]> body = cutResponse(response.c_str(), response.size(), bodyLength, headers);
    FUZZ_CHECK(bodyLength == 0 && body[0] == '\0' && headers[0] == '\0');
    return 0;
  }
  std::size_t cut = static_cast<std::size_t>(headerLength);
  FUZZ_CHECK(cut >= 4 && cut <= text.size());

  std::int32_t bodyLength = -1;
  std::unique_ptr<char[]> headers;
  std::unique_ptr<char[]> bodyText = cutResponse(response.c_str(), response.size(), bodyLength, headers);
  FUZZ_CHECK(bodyLength == static_cast<std::int32_t>(response.size() - cut));
  FUZZ_CHECK(bodyText[bodyLength] == '\0');
  std::string header = headers.get();
  std::string body(bodyText.get(), static_cast<std::size_t>(bodyLength));
  FUZZ_CHECK(header.size() == cut);
  std::string_view terminator = std::string_view(header).substr(cut - 4);
  FUZZ_CHECK(terminator == "\r\n\r\n" || terminator == "\n\r\n\r");
  FUZZ_CHECK(header + body == response);
  return 0;
}
