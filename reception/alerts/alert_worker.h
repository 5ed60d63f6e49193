// The alert worker: a thread of its own that takes the chain's due steps
// into the outbox and sends what the outbox holds, so that no HTTP thread
// ever waits for a mail server or a webhook.
#pragma once

#include <cstdint>
#include <string>

#include "alert_sender.h"
#include "front_desk_policy.h"

struct AlertSettings {
  SmtpSettings smtp;
  std::string teamWebhook;
  std::string teamEmail;
  std::string publicUrl;  // ends with "/"
  FrontDeskPolicy policy;
};

// One pass at now: takes the due steps, then sends the due messages (at most
// a batch). The worker runs it every half second; tests call it directly.
void runAlertPass(const AlertSettings& settings, std::int64_t now);

void startAlertWorker(const AlertSettings& settings);
// Lets a send in progress finish (at most its time-out), then joins.
void stopAlertWorker();
