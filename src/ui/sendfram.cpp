#include "ui/sendfram.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>

#include "settings/preferences.h"

TSendFrame::TSendFrame(QWidget* parent, Preferences& prefs)
    : QFrame(parent), Handlers(this), prefs_(prefs) {
    SendButton = new QPushButton(this);
    TypeLabel = new QLabel(this);
    MsgTypeEdit = new QLineEdit(this);
    SendCountLabel = new QLabel(this);
    SendCountEdit = new QLineEdit(this);
    DelayLabel = new QLabel(this);
    DelayEdit = new QLineEdit(this);
    StopButton = new QToolButton(this);
    CounterLabel = new QLabel(this);
    SendTextLabel = new QLabel(this);
    MsgTextEdit = new QLineEdit(this);
    ReplyTextLabel = new QLabel(this);
    ReplyTextEdit = new QLineEdit(this);
    SepPanel = new QFrame(this);
    Tick = new QTimer(this);
    Handlers.AddHandler(EventId::ResponseAccepted, &TSendFrame::OnResponse);
    Handlers.AddHandler(EventId::TransactionFailed, &TSendFrame::OnFailure);
}

TSendFrame::~TSendFrame() = default;

void TSendFrame::InitFromSettings() {}
void TSendFrame::SendButtonClick(QObject*) {}
void TSendFrame::StopButtonClick(QObject*) {}
void TSendFrame::TickTimer(QObject*) {}
void TSendFrame::SendNext() {}
void TSendFrame::StoreSettings() {}
std::int32_t TSendFrame::OnResponse(Event*) { return 0; }
std::int32_t TSendFrame::OnFailure(Event*) { return 0; }
