#pragma once

#include <cstdint>

class QSpinBox;
class QWidget;

// The choice of one session for a view's filter: "All sessions" (0) or "Session n", by
// arrows, wheel or typed number. Hidden until there is more than one session to choose from.
QSpinBox* NewSessionChoice(QWidget* parent, const char* tip);
// Sessions 1 to `count` can be chosen; 0 hides the choice, which then takes all.
void ShowSessionChoice(QSpinBox* box, std::uint32_t count);
