// An answer as the handlers make it, for the service's listener and the
// metrics listener alike.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

class EventStream;

struct HttpResponse {
  int status = 200;
  std::string contentType;  // none when empty
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  // Set: the body is this stream's text as it comes (see event_stream.h), and body is unused.
  std::shared_ptr<EventStream> stream;
};
