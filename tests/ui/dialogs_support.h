#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <fstream>

#include "support/recording_boxes.h"
#include "ui/message_boxes.h"
#include "ui/serial_ports.h"

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

inline void Touch(const QString& path, const char* content = "") {
    QDir().mkpath(QFileInfo(path).path());
    std::ofstream(path.toStdString()) << content;
}

// A machine with a UART at ttyS1, an empty UART slot ttyS0, a USB adapter ttyUSB0 with its
// by-id link, and a virtual console.
struct FakeMachine {
    QTemporaryDir root;
    SerialPortPlaces places;
    FakeMachine() {
        const QString r = root.path();
        places = {(r + "/sys").toStdString(), (r + "/dev").toStdString(),
                  (r + "/dev/serial/by-id").toStdString()};
        Touch(r + "/sys/ttyS0/type", "0\n");
        Touch(r + "/sys/ttyS0/device/x");
        Touch(r + "/sys/ttyS1/type", "4\n");
        Touch(r + "/sys/ttyS1/device/x");
        Touch(r + "/sys/ttyS10/type", "4\n");
        Touch(r + "/sys/ttyS10/device/x");
        Touch(r + "/sys/ttyUSB0/device/x");
        Touch(r + "/sys/tty1/dev", "4:1\n");
        for (const char* dev : {"ttyS0", "ttyS1", "ttyS10", "ttyUSB0", "tty1"})
            Touch(r + "/dev/" + dev);
        QDir().mkpath(r + "/dev/serial/by-id");
        QFile::link(r + "/dev/ttyUSB0", r + "/dev/serial/by-id/usb-Adapter_42-if00-port0");
    }
    QString ById() const { return root.path() + "/dev/serial/by-id/usb-Adapter_42-if00-port0"; }
};
