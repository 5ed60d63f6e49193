// The service's reading of request targets (input: target, NUL, first name,
// NUL, last name). Any target parses; a parsed query written out again with
// the notifier's encoding parses to the same map; and the names a notifier
// sends arrive byte for byte, whatever bytes they hold.
#include "fuzz_check.h"
#include "http_client.h"
#include "http/query.h"
#include "reception_client.h"

namespace {

std::string encodedQuery(const QueryMap& query) {
  std::string text;
  for (const auto& [key, value] : query) {
    text += (text.empty() ? "" : "&") + encodeQueryValue(key) + "=" + encodeQueryValue(value);
  }
  return text;
}

// The target of the request line that the notifier sends for url.
std::string requestTargetOf(const std::string& url) {
  std::string host, path;
  splitUrl(url, host, path);
  std::string request = buildRequest(host, path);
  return request.substr(4, request.find(" HTTP/1.0\r\n") - 4);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input = fuzzBytes(data, size);
  std::string target = takePart(input, '\0');
  std::string firstName = takePart(input, '\0');
  std::string lastName(input);

  RequestTarget parsed = parseRequestTarget(target);
  FUZZ_CHECK(parseQuery(encodedQuery(parsed.query)) == parsed.query);
  FUZZ_CHECK(percentDecode(encodeQueryValue(target)) == target);
  FUZZ_CHECK(percentDecode(encodeQueryValue(target), false) == target);

  std::string url = serviceBaseUrl + "getNotification?key=" + accessKey + "&fn=" + encodeQueryValue(firstName) +
                    "&ln=" + encodeQueryValue(lastName);
  RequestTarget received = parseRequestTarget(requestTargetOf(url));
  FUZZ_CHECK(received.path == "/api/reception/getNotification");
  FUZZ_CHECK(queryValue(received.query, "key") == std::string(accessKey));
  FUZZ_CHECK(queryValue(received.query, "fn") == firstName);
  FUZZ_CHECK(queryValue(received.query, "ln") == lastName);
  return 0;
}
