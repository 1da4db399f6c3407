#include "ui/message_boxes.h"

#include <QApplication>
#include <QInputDialog>
#include <QMessageBox>

#include "ui/application.h"

namespace {
MessageBoxes g_real;
MessageBoxes* g_installed = nullptr;
}  // namespace

MessageBoxes& MessageBoxes::Instance() { return g_installed ? *g_installed : g_real; }

void MessageBoxes::Install(MessageBoxes* boxes) { g_installed = boxes; }

void MessageBoxes::Error(QWidget* parent, const QString& text) {
    QMessageBox::warning(parent, QStringLiteral("Error"), text, QMessageBox::Ok);
}

bool MessageBoxes::Confirm(QWidget* parent, const QString& text) {
    return QMessageBox::question(parent, QStringLiteral("Confirm"), text,
                                 QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

void MessageBoxes::ApplicationError(const QString& text) {
    QMessageBox::critical(nullptr, QString::fromLatin1(kApplicationTitle),
                          ApplicationErrorText(text), QMessageBox::Ok);
}

bool MessageBoxes::AskNumber(QWidget* parent, const QString& title, const QString& label, int& value,
                             int low, int high) {
    bool ok = false;
    const int chosen = QInputDialog::getInt(parent, title, label, value, low, high, 1, &ok);
    if (ok) value = chosen;
    return ok;
}

QString ApplicationErrorText(const QString& message) {
    if (!message.isEmpty() && message.back().isLetterOrNumber()) return message + '.';
    return message;
}
