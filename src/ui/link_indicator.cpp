#include "ui/link_indicator.h"

#include "ui/latin1.h"

LinkIndicator::LinkIndicator(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::RichText);
    SetState(LinkState{});
}

void LinkIndicator::SetState(const LinkState& state) {
    state_ = state;
    // Green: bytes can flow; amber: waiting for the other side; red: no link.
    const char* colour = state.Connected()                  ? "#1a8f1a"
                         : state.phase == LinkState::Closed ? "#c01010"
                                                            : "#d08000";
    setText(QStringLiteral("<span style=\"color:%1\">&#9679;</span> %2")
                .arg(QString::fromLatin1(colour), ToQString(state.Summary()).toHtmlEscaped()));
    setToolTip(ToQString(state.Details()));
}
