#pragma once

// Values for walking the reply faults' table: each form that carries the faults (the settings
// file, the API, scenarios, scripts, the dialog) is tried with every field of it.

#include <cstdint>

#include "settings/prefs.h"

namespace reply_fault_values {

// A value of the field other than its default, at an edge of its range: the highest, or the
// lowest where the default is the highest.
inline std::int32_t OtherValue(const ReplyFaultField& field) {
    return ReplyFaults{}.*field.member == field.high ? field.low : field.high;
}

// The faults with that one field changed.
inline ReplyFaults With(const ReplyFaultField& field, std::int32_t value) {
    ReplyFaults faults;
    faults.*field.member = value;
    return faults;
}

}  // namespace reply_fault_values
