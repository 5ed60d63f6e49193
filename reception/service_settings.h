// The service's settings, room by room, from the options it was started with.
#pragma once

#include "alerts/alert_worker.h"
#include "commands/options.h"
#include "service.h"

// Each room's settings that the options alone decide (the notifiers' key as
// read by then, else builtInKey, the one compiled into every notifier; the
// listeners' origin and the alerts come later).
ServiceSettings serviceSettings(const ReceptionOptions& options, const std::string& builtInKey);

// The parts of the prepared alert settings the desk and host pages use too:
// the mail server, the reply links' base and where alerts may go.
void shareAlertSettings(AlertSettings& alerts, ServiceSettings& settings);
