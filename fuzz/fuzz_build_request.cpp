// The request builder and the query encoding on any host, path and query
// values (input: host, NUL, path, NUL, value). Whatever the bytes, the request
// is "GET <target> HTTP/1.0", CR LF, "Host: <host>", CR LF, CR LF, with no
// byte in target or host that could end a line or split a field, and an
// encoded query value decodes back to exactly its bytes.
#include "fuzz_check.h"
#include "http_client.h"
#include "reception_client.h"

namespace {

bool isPlainRequestByte(char c) { return c > 0x20 && c < 0x7F; }

bool isAllPlain(std::string_view text) {
  for (char c : text) {
    if (!isPlainRequestByte(c)) return false;
  }
  return true;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isUnreserved(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

// Decodes an encoded value strictly: unreserved bytes and "%XX" with upper-case
// hex digits only; false for anything else.
bool strictDecode(std::string_view encoded, std::string& decoded) {
  for (std::size_t at = 0; at < encoded.size(); ++at) {
    if (isUnreserved(encoded[at])) {
      decoded += encoded[at];
      continue;
    }
    if (encoded[at] != '%' || at + 2 >= encoded.size() || hexDigit(encoded[at + 1]) < 0 ||
        hexDigit(encoded[at + 2]) < 0) {
      return false;
    }
    decoded += static_cast<char>(hexDigit(encoded[at + 1]) * 16 + hexDigit(encoded[at + 2]));
    at += 2;
  }
  return true;
}

void checkRequestForm(const std::string& request) {
  const std::string_view version = " HTTP/1.0\r\nHost: ";
  std::size_t versionAt = request.find(version);
  FUZZ_CHECK(request.compare(0, 4, "GET ") == 0);
  FUZZ_CHECK(versionAt != std::string::npos && versionAt >= 4);
  FUZZ_CHECK(request.size() >= versionAt + version.size() + 4);
  FUZZ_CHECK(request.compare(request.size() - 4, 4, "\r\n\r\n") == 0);
  std::string_view target = std::string_view(request).substr(4, versionAt - 4);
  std::string_view host =
      std::string_view(request).substr(versionAt + version.size(), request.size() - 4 - versionAt - version.size());
  FUZZ_CHECK(isAllPlain(target));
  FUZZ_CHECK(isAllPlain(host));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input = fuzzBytes(data, size);
  std::string host = takePart(input, '\0');
  std::string path = takePart(input, '\0');
  std::string value(input);

  std::string request = buildRequest(host, path);
  checkRequestForm(request);
  // Bytes that need no escape go out as they are.
  if (isAllPlain(host) && isAllPlain(path)) FUZZ_CHECK(request == "GET " + path + " HTTP/1.0\r\nHost: " + host + "\r\n\r\n");

  std::string encoded = encodeQueryValue(value);
  std::string decoded;
  FUZZ_CHECK(strictDecode(encoded, decoded));
  FUZZ_CHECK(decoded == value);

  // A notifier's poll URL with the value as both names: one request, three lines.
  std::string url = serviceBaseUrl + "getNotification?key=" + accessKey + "&fn=" + encoded + "&ln=" + encoded;
  std::string urlHost, urlPath;
  splitUrl(url, urlHost, urlPath);
  std::string poll = buildRequest(urlHost, urlPath);
  checkRequestForm(poll);
  FUZZ_CHECK(poll == "GET " + urlPath + " HTTP/1.0\r\nHost: " + urlHost + "\r\n\r\n");
  return 0;
}
