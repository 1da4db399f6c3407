#pragma once

#include "base/link_state.h"

class SerialDriver;
struct CommPrefs;

// Reads the state of `driver` (null: no link) opened with `settings`.
LinkState DescribeLink(SerialDriver* driver, const CommPrefs& settings);
