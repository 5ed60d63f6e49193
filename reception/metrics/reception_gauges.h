// The gauges of GET /metrics, read from the service's records when scraped.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "metrics/metrics.h"

// The gauges at now; nothing when the records cannot be read.
std::optional<Gauges> readGauges(std::int64_t now);
// The answer to GET /metrics.
std::string receptionMetricsText();
