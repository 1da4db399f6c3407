#include <QtTest>

#include <stdexcept>

#include "support/recording_boxes.h"
#include "ui/application.h"
#include "ui/latin1.h"
#include "ui/message_boxes.h"

namespace {

class Thrower : public QObject {
protected:
    bool event(QEvent* e) override {
        if (e->type() == QEvent::User) throw std::runtime_error("handler failed");
        return QObject::event(e);
    }
};

}  // namespace

class UiBasics : public QObject {
    Q_OBJECT
private slots:
    void everyByteSurvivesTheRoundTrip() {
        std::string all;
        for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
        const QString shown = ToQString(all);
        QCOMPARE(shown.size(), 256);
        QCOMPARE(shown.at(0xE9), QChar(0xE9));
        QCOMPARE(ToBytes(shown), all);
        QCOMPARE(ToBytes(QString(QChar(0x20AC))), std::string("?"));
    }

    void errorTextGetsAFullStopAfterALetterOrDigit() {
        QCOMPARE(ApplicationErrorText("Unable to write to /x"), QString("Unable to write to /x."));
        QCOMPARE(ApplicationErrorText("Count 3"), QString("Count 3."));
        QCOMPARE(ApplicationErrorText("Done."), QString("Done."));
        QCOMPARE(ApplicationErrorText("Bad value 'x'"), QString("Bad value 'x'"));
        QCOMPARE(ApplicationErrorText(""), QString(""));
    }

    void anEscapedErrorIsShownAndTheProgramGoesOn() {
        RecordingBoxes boxes;
        Thrower thrower;
        QEvent event(QEvent::User);
        QCoreApplication::sendEvent(&thrower, &event);
        QCoreApplication::sendEvent(&thrower, &event);
        MessageBoxes::Install(nullptr);
        QCOMPARE(boxes.appErrors, QStringList({"handler failed.", "handler failed."}));
    }
};

int main(int argc, char** argv) {
    TApplication app(argc, argv);
    // Nothing is added to the windows' captions, and no hidden window carries the main one's.
    if (QApplication::applicationDisplayName() == QString(kApplicationTitle)) return 1;
    UiBasics test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_ui_basics.moc"
