#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <QtTest>

#include "support/recording_boxes.h"
#include "ui/message_boxes.h"

// Takes the program's "Error" boxes instead of showing them, for as long as it lives.
// Answers the next real message box (shown modally by the code under test) with OK and
// records what it showed.
class MessageBoxCatcher : public QObject {
public:
    MessageBoxCatcher() {
        connect(&timer_, &QTimer::timeout, this, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) return;
            title = box->windowTitle();
            text = box->text();
            icon = box->icon();
            ++count;
            box->accept();
        });
        timer_.start(10);
    }
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    int count = 0;

private:
    QTimer timer_;
};

// A click on a radio button's indicator (its middle may lie beyond its caption).
inline void ClickRadio(QAbstractButton* button) {
    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(8, button->height() / 2));
}

// Runs `action` once the modal loop that the caller is about to enter has started and
// `dialog` has become the active window.
template <typename Action>
void WhenModal(QWidget* dialog, Action action) {
    QTimer::singleShot(0, dialog, [dialog, action]() {
        QVERIFY(QTest::qWaitForWindowActive(dialog));
        action();
    });
}
