// The metrics' own listener: GET /metrics and /healthz and nothing else, with no desk
// session, on an address of its own (a loopback or management address).
#pragma once

#include <string>

#include "http/request_guard.h"
#include "http/http_response.h"

// Serves what render returns at GET /metrics and health's answer at GET
// /healthz, to requests whose Host is one of origin's names (a rebinding page has another);
// a few connections per address, idle ones closed after 10 s. False with
// error set when the daemon cannot start.
bool startMetricsServer(int listener, std::string (*render)(), HttpResponse (*health)(), const DeskOrigin& origin,
                        std::string& error);
void stopMetricsServer();
