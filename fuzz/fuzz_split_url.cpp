// splitUrl on any URL text: the prefixes come off as the rules say, the host
// holds no "/", the path starts with one, and nothing else is lost or changed.
#include "fuzz_check.h"
#include "http_client.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // readUrl takes the URL as a C string.
  std::string url(untilNul(fuzzBytes(data, size)));
  std::string host = "previous host", path = "previous path";
  splitUrl(url, host, path);

  std::string_view rest = url;
  if (rest.substr(0, 7) == "http://") rest.remove_prefix(7);
  if (rest.substr(0, 8) == "https://") rest.remove_prefix(8);
  FUZZ_CHECK(host.find('/') == std::string::npos);
  FUZZ_CHECK(!path.empty() && path[0] == '/');
  if (rest.find('/') == std::string_view::npos) {
    FUZZ_CHECK(host == rest && path == "/");
  } else {
    FUZZ_CHECK(host + path == rest);
  }

  // The request built from the parts always has exactly its three lines.
  std::string request = buildRequest(host, path);
  std::size_t firstEnd = request.find("\r\n");
  FUZZ_CHECK(request.compare(0, 4, "GET ") == 0);
  FUZZ_CHECK(request.compare(firstEnd + 2, 6, "Host: ") == 0);
  FUZZ_CHECK(request.find("\r\n", firstEnd + 2) == request.size() - 4);
  return 0;
}
