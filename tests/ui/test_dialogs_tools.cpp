#include "ui/Bcccalcfrm.h"
#include "ui/about.h"
#include "ui/flaghelp.h"

#include <QtTest>

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>

#include "text/parser.h"
#include "ui/application.h"
#include "ui/latin1.h"
#include "dialogs_support.h"

namespace {

QString SerialText(int value, int digits) {
    return QString::number(value).rightJustified(digits, '0');
}

// Restores an environment variable when it goes.
class EnvOverride {
public:
    EnvOverride(const char* name, const QByteArray& value)
        : name_(name), had_(qEnvironmentVariableIsSet(name)), old_(qgetenv(name)) {
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value);
    }
    ~EnvOverride() {
        if (had_)
            qputenv(name_, old_);
        else
            qunsetenv(name_);
    }

private:
    const char* name_;
    bool had_;
    QByteArray old_;
};

}  // namespace

class BccCalculatorTest : public QObject {
    Q_OBJECT
    std::unique_ptr<TBccCalcForm> form_;

    void Calculate(const QString& type, const QString& text) {
        form_->TypeEdit->setText(type);
        form_->MessageTextEdit->setText(text);
        form_->CalculateButton->click();
    }
    QString Digits() const { return form_->AsciiLabel->text().remove(' '); }

private slots:
    void init() { form_ = std::make_unique<TBccCalcForm>(); }
    void cleanup() { form_.reset(); }

    void showsTheSumInEveryNotationAndThePacket() {
        Calculate("A", "HI");
        QCOMPARE(form_->AsciiLabel->text(), QString("2 1 0"));
        QCOMPARE(form_->DecimalLabel->text(), QString("50 49 48"));
        QCOMPARE(form_->HexLabel->text(), QString("\\x32 \\x31 \\x30"));
        QCOMPARE(form_->BinaryLabel->text(), QString("00110010   00110001   00110000   "));
        QCOMPARE(form_->PacketEdit->text(), QString("<SOH>A<STX>HI<ETX>210<CR>"));
    }

    void sumsWithLeadingZerosAndWrapsRound() {
        Calculate("Z", "");
        QCOMPARE(Digits(), QString("090"));
        QCOMPARE(form_->PacketEdit->text(), QString("<SOH>Z<STX><ETX>090<CR>"));
        Calculate("z", QString(2, QChar(0xFF)));
        QCOMPARE(Digits(), QString("120"));
        QCOMPARE(form_->HexLabel->text(), QString("\\x31 \\x32 \\x30"));
        Calculate(QString(QChar(1)), QString(QChar(0xFE)));  // 255, the largest sum
        QCOMPARE(Digits(), QString("255"));
    }

    void sumsTheTextAsTypedButExpandsThePacket() {
        const int serial = Parser::Serial_number();
        Calculate("A", "%S\\x41");  // 65 + '%' + 'S' + '\\' + 'x' + '4' + '1' = 498
        QCOMPARE(Digits(), QString("242"));
        QCOMPARE(form_->PacketEdit->text(),
                 "<SOH>A<STX>" + SerialText(serial, 6) + "A<ETX>242<CR>");
        QCOMPARE(Parser::Serial_number(), serial + 1);
    }

    void anEmptyTypeIsRefusedAndKeepsTheLastResults() {
        RecordingBoxes boxes;
        Calculate("A", "HI");
        Calculate("", "other");
        QCOMPARE(boxes.errors, QStringList({"You must specify a message type character."}));
        QCOMPARE(form_->AsciiLabel->text(), QString("2 1 0"));
        QCOMPARE(form_->PacketEdit->text(), QString("<SOH>A<STX>HI<ETX>210<CR>"));
    }

    void isModelessTakesOneTypeCharacterAndKeepsItsContents() {
        form_->ShowModeless();
        QVERIFY(form_->isVisible());
        QVERIFY(!form_->isModal());
        QVERIFY(QTest::qWaitForWindowActive(form_.get()));
        form_->TypeEdit->setFocus();
        QTest::keyClicks(form_->TypeEdit, "AB");
        QCOMPARE(form_->TypeEdit->text(), QString("A"));
        form_->MessageTextEdit->setFocus();
        QTest::keyClicks(form_->MessageTextEdit, "HI");
        QTest::keyClick(form_->MessageTextEdit, Qt::Key_Return);  // Calculate is the default
        QCOMPARE(form_->AsciiLabel->text(), QString("2 1 0"));

        QTest::mouseClick(form_->CloseButton, Qt::LeftButton);
        QVERIFY(!form_->isVisible());
        form_->ShowModeless();
        QCOMPARE(form_->TypeEdit->text(), QString("A"));
        QCOMPARE(form_->MessageTextEdit->text(), QString("HI"));
        QCOMPARE(form_->PacketEdit->text(), QString("<SOH>A<STX>HI<ETX>210<CR>"));
    }
};

class FlagHelpTest : public QObject {
    Q_OBJECT
    std::unique_ptr<TFlagHelpForm> form_;

    void Select(const QString& flag) {
        const auto found = form_->FlagListBox->findItems(flag + ' ', Qt::MatchStartsWith);
        QCOMPARE(found.size(), 1);
        QTest::mouseClick(form_->FlagListBox->viewport(), Qt::LeftButton, {},
                          form_->FlagListBox->visualItemRect(found.first()).center());
    }
    void TypeDigits(const QString& digits) {
        form_->ValueEdit->setFocus();
        form_->ValueEdit->selectAll();
        QTest::keyClick(form_->ValueEdit, Qt::Key_Backspace);
        QTest::keyClicks(form_->ValueEdit, digits);
    }

private slots:
    void init() {
        form_ = std::make_unique<TFlagHelpForm>();
        form_->show();
        QVERIFY(QTest::qWaitForWindowActive(form_.get()));
    }
    void cleanup() { form_.reset(); }

    void listsTheTwentyFlagsInOrder() {
        QListWidget* list = form_->FlagListBox;
        QCOMPARE(list->count(), 20);
        QStringList flags;
        for (int i = 0; i < list->count(); ++i) {
            const QString entry = list->item(i)->text();
            flags << entry.left(entry.indexOf(' '));
            QCOMPARE(entry.indexOf(" - "), 4);  // the dashes line up
        }
        QCOMPARE(flags.join(""), QString("%A%B%#C%D%F%G%H%I%J%L%M%N%P%Q%R%#S%T%W%#X%#Y"));
        QCOMPARE(list->item(2)->text(), QString("%#C  - Date & Time (MM/DD/YY HH:MM) (HH=00-23)"));
        QCOMPARE(list->item(19)->text(), QString("%#Y  - Year (#2:YY,  #4:YYYY)"));
        QVERIFY(list->font().fixedPitch());
        QVERIFY(!form_->PromptGroupBox->isVisible());
        QCOMPARE(form_->SampleEdit->text(), QString());
    }

    void plainFlagsShowTheirExpansion() {
        form_->PromptGroupBox->show();
        Select("%F");
        QCOMPARE(form_->SampleEdit->text(), QString("A"));
        QVERIFY(!form_->PromptGroupBox->isVisible());
        Select("%G");
        QCOMPARE(form_->SampleEdit->text(), QString("B7"));
        QTest::keyClick(form_->FlagListBox, Qt::Key_Down);  // the keyboard selects too
        QCOMPARE(form_->SampleEdit->text().size(), 2);      // "%H": the hour
        Select("%Q");
        QVERIFY(QRegularExpression("^\\d{9}$").match(form_->SampleEdit->text()).hasMatch());
    }

    void serialNumberAsksForItsDigitsAndCountsOnce() {
        const int serial = Parser::Serial_number();
        Select("%#S");
        QVERIFY(form_->PromptGroupBox->isVisible());
        QCOMPARE(form_->PromptGroupBox->title(), QString("Serial Number"));
        QCOMPARE(form_->PromptLabel->text(),
                 QString("Enter the number of digits in the serial number (1-9)"));
        QCOMPARE(form_->ValueEdit->text(), QString("1"));
        QCOMPARE(form_->SampleEdit->text(), SerialText(serial, 1));
        QCOMPARE(Parser::Serial_number(), serial + 1);
        QCOMPARE(form_->ValueUpDown->Lowest(), 1);
        QCOMPARE(form_->ValueUpDown->Highest(), 9);

        TypeDigits("12");  // outside the range, still taken
        QCOMPARE(form_->ValueEdit->text(), QString("12"));
        QCOMPARE(form_->SampleEdit->text(), SerialText(serial + 2, 12));
        QTest::keyClicks(form_->ValueEdit, "x");  // only digits
        QCOMPARE(form_->ValueEdit->text(), QString("12"));
        form_->InsertButton->click();
        QCOMPARE(form_->result(), int(QDialog::Accepted));
        QCOMPARE(form_->ChosenText(), QString("%12S"));
    }

    void emptyDigitCountShowsThePlaceholder() {
        Select("%#S");
        TypeDigits("");
        QCOMPARE(form_->SampleEdit->text(), QString("<%#V>"));
        form_->InsertButton->click();
        QCOMPARE(form_->ChosenText(), QString("%S"));
    }

    void upDownStepsWithinTheRangeAndWrapsRound() {
        const QString year = QString::number(QDate::currentDate().year());
        Select("%#Y");
        QCOMPARE(form_->PromptGroupBox->title(), QString("Year"));
        QCOMPARE(form_->PromptLabel->text(), QString("Enter the number of digits in the year (2-4)"));
        QCOMPARE(form_->ValueEdit->text(), QString("2"));  // moved into the new range
        QCOMPARE(form_->SampleEdit->text(), year.right(2));
        QTest::keyClick(form_->ValueEdit, Qt::Key_Up);
        QCOMPARE(form_->ValueEdit->text(), QString("4"));
        QCOMPARE(form_->SampleEdit->text(), year);
        form_->ValueUpDown->stepUp();
        QCOMPARE(form_->ValueEdit->text(), QString("2"));
        form_->ValueUpDown->stepDown();
        QCOMPARE(form_->ValueEdit->text(), QString("4"));
        TypeDigits("3");
        form_->ValueUpDown->stepUp();  // from what was typed
        QCOMPARE(form_->ValueEdit->text(), QString("2"));

        Select("%#S");
        TypeDigits("9");
        form_->ValueUpDown->stepUp();
        QCOMPARE(form_->ValueEdit->text(), QString("1"));
        form_->ValueUpDown->stepDown();
        QCOMPARE(form_->ValueEdit->text(), QString("9"));
    }

    void insertGivesTheChosenFlag() {
        Select("%T");
        form_->InsertButton->click();
        QCOMPARE(form_->ChosenText(), QString("%T"));
        form_->show();
        Select("%#X");
        QTest::keyClick(form_->ValueEdit, Qt::Key_Up);
        form_->InsertButton->click();
        QCOMPARE(form_->ChosenText(), QString("%4X"));
        form_->show();

        const auto entry = form_->FlagListBox->findItems("%D ", Qt::MatchStartsWith).first();
        const QPoint at = form_->FlagListBox->visualItemRect(entry).center();
        QTest::mouseClick(form_->FlagListBox->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(form_->FlagListBox->viewport(), Qt::LeftButton, {}, at);
        QCOMPARE(form_->ChosenText(), QString("%D"));
    }

    void insertWithNothingSelectedEndsWithAnEmptyChoice() {
        Select("%T");
        form_->InsertButton->click();
        form_->FlagListBox->clearSelection();
        WhenModal(form_.get(), [this] { form_->InsertButton->click(); });
        QVERIFY(form_->Execute());
        QCOMPARE(form_->ChosenText(), QString());

        WhenModal(form_.get(), [this] { form_->CancelButton->click(); });
        QVERIFY(!form_->Execute());
    }

    void selectionAndDigitCountSurviveAShowing() {
        Select("%#C");
        QTest::keyClick(form_->ValueEdit, Qt::Key_Up);
        WhenModal(form_.get(), [this] {
            QCOMPARE(form_->ValueEdit->text(), QString("4"));
            QVERIFY(form_->PromptGroupBox->isVisible());
            form_->InsertButton->click();
        });
        form_->hide();
        QVERIFY(form_->Execute());
        QCOMPARE(form_->ChosenText(), QString("%4C"));
    }
};

class AboutBoxTest : public QObject {
    Q_OBJECT
    std::unique_ptr<TAboutBox> box_;
    QList<QUrl> opened_;

private slots:
    void init() {
        box_ = std::make_unique<TAboutBox>();
        opened_.clear();
    }
    void cleanup() { box_.reset(); }

    void passcodeIsShortPrintableAndChangesWithTheHour() {
        const std::time_t noon = 1796558400;  // a fixed instant
        const std::string code = PassCode::Instance().Compute(noon);
        QCOMPARE(code.size(), PassCode::kLength);
        for (char c : code) QVERIFY(c > ' ' && c < 0x7F);
        QCOMPARE(PassCode::Instance().Compute(noon + 60), code);  // same hour

        QSet<QString> codes;
        for (int hour = 0; hour < 48; ++hour)
            codes << QString::fromStdString(PassCode::Instance().Compute(noon + hour * 3600));
        QVERIFY(codes.size() >= 46);
    }

    void eachShowingComputesThePasscodeAnew() {
        std::time_t now = 1796558400;
        box_->SetClock([&now] { return now; });
        box_->show();
        QCOMPARE(box_->PasscodeText->text().toStdString(), PassCode::Instance().Compute(now));
        box_->hide();
        now += 5 * 3600;
        WhenModal(box_.get(), [this] { box_->OKButton->click(); });
        box_->Execute();
        QCOMPARE(box_->PasscodeText->text().toStdString(), PassCode::Instance().Compute(now));
        QCOMPARE(box_->ProductName->text(), QString("Vantor Protocol Simulator"));
        QCOMPARE(box_->Version->text(), QString("Version 2.23"));
        // The test program runs from the build tree: its settings file is the one beside it.
        QCOMPARE(box_->SettingsPath->toPlainText(),
                 QCoreApplication::applicationDirPath() + "/ZentrelConfig.ini");
    }

    void webAddressOpensInTheBrowser() {
        box_->SetUrlOpener([this](const QUrl& url) {
            opened_ << url;
            return true;
        });
        MessageBoxCatcher catcher;
        emit box_->WebAddress->linkActivated(TAboutBox::kWebAddress);
        QCOMPARE(opened_, QList<QUrl>({QUrl(TAboutBox::kWebAddress)}));
        QCOMPARE(catcher.count, 0);
    }

    void failuresToOpenItAreExplained() {
        box_->SetUrlOpener([](const QUrl&) { return false; });
        QTemporaryDir bin;
        EnvOverride path("PATH", bin.path().toLocal8Bit());
        EnvOverride browser("BROWSER", QByteArray());
        EnvOverride defaultBrowser("DEFAULT_BROWSER", QByteArray());
        {
            MessageBoxCatcher catcher;
            box_->WebAddressClick();
            QCOMPARE(catcher.count, 1);
            QCOMPARE(catcher.title, QString("Error!"));
            QCOMPARE(catcher.icon, QMessageBox::Warning);
            QCOMPARE(catcher.text, QString("Browser for http Not Registered!"));
        }
        QFile launcher(bin.path() + "/xdg-open");
        QVERIFY(launcher.open(QIODevice::WriteOnly));
        launcher.write("#!/bin/sh\nexit 1\n");
        launcher.close();
        launcher.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        MessageBoxCatcher catcher;
        box_->WebAddressClick();
        QCOMPARE(catcher.text, QString("Error Executing Browser!"));
    }
};

// The three dialogs' captions are theirs alone, and their frames have the sizes given and do
// not change; a window manager offers to close them, never to minimise or maximise them.
class DialogFramesTest : public QObject {
    Q_OBJECT
private slots:
    void captionsAndFixedFrames() {
        TBccCalcForm bcc;
        TFlagHelpForm flags;
        TAboutBox about;
        const struct {
            QDialog* dialog;
            const char* caption;
            QSize size;
        } dialogs[] = {{&bcc, "BCC Calculator", {794, 260}},
                       {&flags, "Message Flags", {632, 343}},
                       {&about, "About", {298, 347}}};
        for (const auto& d : dialogs) {
            d.dialog->show();
            QVERIFY(QTest::qWaitForWindowExposed(d.dialog));
            QCOMPARE(d.dialog->windowTitle(), QString(d.caption));
            QCOMPARE(d.dialog->size(), d.size);
            QCOMPARE(d.dialog->minimumSize(), d.dialog->maximumSize());
            const Qt::WindowFlags flags = d.dialog->windowFlags();
            QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
            QVERIFY(flags.testFlag(Qt::CustomizeWindowHint));
            QVERIFY(!flags.testFlag(Qt::WindowMinimizeButtonHint));
            QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
            d.dialog->hide();
        }
    }
};

int main(int argc, char** argv) {
    TApplication app(argc, argv);
    int failed = 0;
    {
        DialogFramesTest test;
        failed += QTest::qExec(&test, argc, argv);
    }
    {
        BccCalculatorTest test;
        failed += QTest::qExec(&test, argc, argv);
    }
    {
        FlagHelpTest test;
        failed += QTest::qExec(&test, argc, argv);
    }
    {
        AboutBoxTest test;
        failed += QTest::qExec(&test, argc, argv);
    }
    return failed;
}

#include "test_dialogs_tools.moc"
