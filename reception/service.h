// Routes each request of the service: the desk page, the desk API and the
// notifier API.
#pragma once

#include <string_view>

#include "http_server.h"

HttpResponse handleReceptionRequest(const HttpRequest& request);
// Requests that hash a password: answered on the HTTP server's worker.
bool isSlowReceptionRequest(const HttpRequest& request);

// An embedded desk page file by its path ("/", "/desk.js", ...): its bytes
// and content type, or false.
bool findAsset(std::string_view path, std::string_view& bytes, std::string_view& contentType);
