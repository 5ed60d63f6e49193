// The metrics' own listener: GET /metrics and nothing else, with no desk
// session, on an address of its own (a loopback or management address).
#pragma once

#include <string>

#include "http/server.h"

// Serves what render returns at GET /metrics from the listener. False with
// error set when the daemon cannot start.
bool startMetricsServer(int listener, std::string (*render)(), std::string& error);
void stopMetricsServer();
