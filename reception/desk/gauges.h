// The board's numbers for the metrics: guests waiting and escalated, and
// notifiers online, read from the records when scraped.
#pragma once

#include <cstdint>
#include <optional>

#include "metrics/metrics.h"
#include "rules/escalation.h"

// Nothing when the records could not be read.
std::optional<Gauges> readGauges(std::int64_t now, const FrontDeskPolicy& policy);
