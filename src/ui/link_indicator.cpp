#include "ui/link_indicator.h"

#include "ui/latin1.h"

LinkIndicator::LinkIndicator(QWidget* parent) : ElidedLabel(parent) {
    SetState(LinkState{});
}

void LinkIndicator::SetState(const LinkState& state) {
    state_ = state;
    // Green: bytes can flow; amber: waiting for the other side; red: no link.
    SetMark(QColor(state.Connected()                  ? 0x1a8f1a
                   : state.phase == LinkState::Closed ? 0xc01010
                                                      : 0xd08000));
    setText(ToQString(state.Summary()));
    setToolTip(ToQString(state.Details()));
    updateGeometry();
}
