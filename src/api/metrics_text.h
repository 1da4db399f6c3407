#pragma once

#include <string>

#include "app/app_core.h"

class ApiCounters;

// The metrics in the Prometheus text format (version 0.0.4), from the core's status snapshot
// and the API's own counts (none when null).
std::string MetricsText(const AppCore::Status& status, const ApiCounters* api);
