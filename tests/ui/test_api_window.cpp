#include "ui/mainfrm.h"

#include <QtTest>

#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QToolButton>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "api/api_server.h"
#include "app/app_core.h"
#include "app/event_hub.h"
#include "support/api_rig.h"
#include "support/recording_boxes.h"
#include "ui/application.h"
#include "ui/qt_scheduler.h"
#include "ui/received_model.h"
#include "ui/sendfram.h"

// The window and the control API at once, offscreen: both see and change one state.

using namespace api_rig;

class ApiWindowTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    std::unique_ptr<Preferences> prefs;
    std::unique_ptr<QtScheduler> scheduler;
    std::unique_ptr<AppCore> core;
    std::unique_ptr<TMainForm> form;
    std::unique_ptr<ApiServer> api;
    RecordingBoxes boxes;
    int devicePort = 0;

    // An API call from another thread while this one keeps serving the window (the core
    // lives on it).
    Reply Api(std::function<Reply()> call) {
        auto answer = std::async(std::launch::async, std::move(call));
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (answer.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready &&
               std::chrono::steady_clock::now() < end)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        return answer.get();
    }
    Reply Get(const std::string& path) {
        const int port = api->Port();
        return Api([port, path] { return Call(port, http::verb::get, "/api/v1/" + path); });
    }
    Reply Send(http::verb method, const std::string& path, const json& body = json::object()) {
        const int port = api->Port();
        return Api([port, method, path, body] {
            return Call(port, method, "/api/v1/" + path, body.dump());
        });
    }

private slots:
    void init() {
        prefs = std::make_unique<Preferences>(dir.filePath("ZentrelConfig.ini").toStdString());
        CommPrefs comm = prefs->Get_comm_prefs();
        comm.Type = 2;
        comm.LocalPort = devicePort = FreeTcpPort();
        prefs->Set_comm_prefs(comm);
        scheduler = std::make_unique<QtScheduler>(qApp);
        core = std::make_unique<AppCore>(*prefs, *scheduler);
        form = std::make_unique<TMainForm>(*prefs, *core);
        core->Start();
        api = std::make_unique<ApiServer>(*core, *scheduler, ApiServer::Options{});
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    }
    void cleanup() {
        api->Stop();
        form->close();
        api.reset();
        form.reset();
        core.reset();
        scheduler.reset();
    }

    void aMessageIsListedInTheWindowAndReturnedByTheApi() {
        const Reply put =
            Send(http::verb::put, "replies", {{"replies", {{{"type", "A"}, {"text", "ok"}}}}});
        QCOMPARE(put.status, 200);
        // What the dialog shows next and what is saved at exit.
        QCOMPARE(prefs->Get_reply_prefs(0).Msg, std::string("ok"));
        QCOMPARE(prefs->Get_reply_prefs(0).Type, std::string("A"));

        auto device = std::async(std::launch::async, [this] {
            Peer peer(devicePort);
            peer.Write(WireFrame('A', 0, "from device"));
            return peer.ReadFrame();
        });
        std::string answer;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (device.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready &&
               std::chrono::steady_clock::now() < end)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCOMPARE(device.get(), WireFrame('A', ctrl::ACK, "ok"));

        QTRY_COMPARE(form->ReceivedMessages->MessageCount(), 1);
        QCOMPARE(form->ReceivedMessages->Cell(0, ReceivedListModel::TextColumn),
                 std::string("from device"));
        const Reply listed = Get("messages");
        QCOMPARE(listed.body["messages"].size(), std::size_t{1});
        QCOMPARE(listed.body["messages"][0]["text"].get<std::string>(), std::string("from device"));

        // Cleared through the API: gone from the window too.
        QCOMPARE(Send(http::verb::delete_, "messages").status, 204);
        QCOMPARE(form->ReceivedMessages->MessageCount(), 0);
        QVERIFY(!form->ClearReceivedButton->isEnabled());
    }

    void aLinkPutThroughTheApiShowsInTheStatusBar() {
        const int moved = FreeTcpPort();
        QCOMPARE(Send(http::verb::put, "link", {{"localPort", moved}}).status, 200);
        QCOMPARE(form->StatusPanels[2]->text(),
                 QStringLiteral("TCP/IP Server on Port %1").arg(moved));
        QCOMPARE(prefs->Get_comm_prefs().LocalPort, moved);
    }

    void aRowIsTheSameRowForTheWindowAndTheApi() {
        // Typed in the window, read through the API.
        form->SendRows[0]->MsgTextEdit->setText(QStringLiteral("typed"));
        QCOMPARE(Get("rows/1").body["text"].get<std::string>(), std::string("typed"));
        // Put through the API, shown in the window.
        QCOMPARE(Send(http::verb::put, "rows/2", {{"type", "W"}, {"text", "from api"}}).status,
                 200);
        QCOMPARE(form->SendRows[1]->MsgTextEdit->text(), QStringLiteral("from api"));
        QCOMPARE(form->SendRows[1]->MsgTypeEdit->text(), QStringLiteral("W"));

        // Sent through the API, answered by the device: the window's row shows the response.
        auto device = std::async(std::launch::async, [this] {
            Peer peer(devicePort);
            const std::string frame = peer.ReadFrame();
            peer.Write(WireFrame('W', ctrl::ACK, "back"));
            std::this_thread::sleep_for(std::chrono::milliseconds(300));  // until it is read
            return frame;
        });
        QCOMPARE(Send(http::verb::post, "rows/2/send").status, 200);
        QTRY_COMPARE_WITH_TIMEOUT(form->SendRows[1]->ReplyTextEdit->text(), QStringLiteral("back"),
                                  10000);
        QCOMPARE(form->SendRows[1]->CounterLabel->text(), QStringLiteral("1 / 1"));
        QCOMPARE(device.get(), WireFrame('W', 0, "from api"));
        const Reply row = Get("rows/2");
        QCOMPARE(row.body["run"]["state"].get<std::string>(), std::string("accepted"));
        QCOMPARE(row.body["run"]["response"].get<std::string>(), std::string("back"));
    }
};

int main(int argc, char** argv) {
    TApplication app(argc, argv);
    ApiWindowTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_api_window.moc"
