// The alert worker: threads of their own that take the chain's due steps
// into the outbox and send what the outbox holds, webhooks and mail apart,
// so that no HTTP thread ever waits for a mail server or a webhook.
#pragma once

#include <cstdint>
#include <string>

#include "alerts/alert_sender.h"
#include "rules/escalation.h"
#include "store/outbox.h"

struct AlertSettings {
  SmtpSettings smtp;
  std::string teamWebhook;
  std::string teamEmail;
  std::string publicUrl;  // ends with "/"
  AlertTargetRule targets;  // where pushes and webhooks may connect
  FrontDeskPolicy policy;
  std::int64_t claimMs = outboxClaimMs;  // how long a sender holds a message it sends
};

// One pass at now: takes the due steps, then sends the due messages (at most
// a batch per lane, side by side). The worker's threads do the same every
// half second; tests call it directly.
void runAlertPass(const AlertSettings& settings, std::int64_t now);

void startAlertWorker(const AlertSettings& settings);
// Ends the sends in progress (they stay due, for the next start), then joins.
void stopAlertWorker();
