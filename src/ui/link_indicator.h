#pragma once

#include "base/link_state.h"
#include "ui/elided_label.h"

// The link's state in the status bar: a coloured mark and one line, the details in its tooltip.
class LinkIndicator : public ElidedLabel {
    Q_OBJECT
public:
    explicit LinkIndicator(QWidget* parent = nullptr);
    void SetState(const LinkState& state);
    const LinkState& State() const { return state_; }

private:
    LinkState state_;
};
