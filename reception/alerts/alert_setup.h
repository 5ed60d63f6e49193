// Turns the alert options into the worker's settings at start-up: reads the
// SMTP password file and works out the public URL.
#pragma once

#include <cstdint>
#include <string>

#include "alerts/alert_options.h"
#include "alerts/alert_worker.h"

// "" or why the settings cannot be made (an unreadable password file).
// With HTTPS on (tlsPort not 0), the reply links default to https:// on its port.
std::string prepareAlertSettings(const AlertOptions& options, std::uint16_t listenPort, std::uint16_t tlsPort,
                                 AlertSettings& settings);
// The host name of an http(s) URL, for the names the service answers to.
std::string urlHostName(const std::string& url);
