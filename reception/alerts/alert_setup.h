// Turns the alert options into the worker's settings at start-up: reads the
// SMTP password file and works out the public URL.
#pragma once

#include <cstdint>
#include <string>

#include "alerts/alert_options.h"
#include "alerts/alert_worker.h"

// "" or why the settings cannot be made (an unreadable password file).
// Without --public-url the reply links start with defaultPublicUrl.
std::string prepareAlertSettings(const AlertOptions& options, const std::string& defaultPublicUrl,
                                 AlertSettings& settings);
