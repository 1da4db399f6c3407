#include "thread/ctrlthrd.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <thread>

#include "drivers/serial_tcpip_client.h"
#include "drivers/serial_tcpip_server.h"
#include "drivers/serial_win_comm.h"
#include "protocol/reply_actions.h"
#include "protocol/vantor_protocol.h"
#include "text/next_token.h"

namespace {

constexpr auto kPassPeriod = std::chrono::milliseconds(10);
constexpr std::int32_t kQueueCapacity = 1500;
constexpr std::int32_t kSerialBufferSize = 512;

std::int32_t IntOr(const std::string& field, std::int32_t fallback) {
    try {
        return ParseActionNumber(field);
    } catch (const std::exception&) {
        return fallback;
    }
}

}  // namespace

TControlThread::TControlThread(EventBroker* requestBroker, EventBroker* windowBroker,
                               const CommPrefs& settings, std::int32_t threadNumber)
    : windowBroker(windowBroker), requestBroker(requestBroker), commSettings(settings),
      threadNumber(threadNumber), work_(io_.get_executor()) {}

TControlThread::~TControlThread() {
    Terminate();
    WaitFor();
    devices.reset();  // deletes the driver (closing the link) and the engine, in list order
    threadQueue.reset();
}

std::string TControlThread::FormatCommSettings(const CommPrefs& s) {
    return std::to_string(s.Type) + "," + s.Port + "," + std::to_string(s.Baud) + "," +
           std::to_string(s.Bits) + "," + std::to_string(s.Stop) + "," +
           std::to_string(s.Parity) + "," + s.RemoteIp + "," + std::to_string(s.RemotePort) +
           "," + std::to_string(s.LocalPort);
}

CommPrefs TControlThread::ParseCommSettings(std::string text) {
    CommPrefs s;
    s.Type = IntOr(NextToken(text, ","), 0);
    s.Port = NextToken(text, ",");
    s.Baud = IntOr(NextToken(text, ","), 4);
    s.Bits = IntOr(NextToken(text, ","), 1);
    s.Stop = IntOr(NextToken(text, ","), 0);
    s.Parity = IntOr(NextToken(text, ","), 2);
    s.RemoteIp = NextToken(text, ",");
    s.RemotePort = IntOr(NextToken(text, ","), 5000);
    s.LocalPort = IntOr(NextToken(text, ","), 5001);
    return s;
}

void TControlThread::Execute() {
    try {
        threadQueue.reset(new EventManager);
        devices.reset(new DeviceManager(threadQueue.get()));
        // A link that cannot be opened (a port in use, say) must not leave the thread without
        // an engine: the user fixes the settings and the next reopen has to work.
        try {
            OpenLink(commSettings);
        } catch (const std::exception& error) {
            ReportError(error.what(), 0);
        }
        engine = new VantorProtocol(driver, 1);
        devices->Add(engine);
    } catch (const std::exception& error) {
        ReportError(error.what(), 0);
    }

    // Passes keep a steady 10 ms rhythm: the sleep is shortened by the time the pass took, so
    // the period does not drift; a pass that overran still gets a full sleep after it.
    auto next = std::chrono::steady_clock::now();
    while (!Terminated()) {
        if (passObserver_) passObserver_();
        Pass();
        next += kPassPeriod;
        const auto now = std::chrono::steady_clock::now();
        if (next <= now) next = now + kPassPeriod;
        std::this_thread::sleep_until(next);
    }
}

void TControlThread::Pass() {
    try {
        io_.poll_one();
        if (devices) devices->PollAll();
        Event event;
        if (threadQueue && threadQueue->GetEvent(event)) HandleThreadEvent(event);
        if (requestBroker != nullptr && requestBroker->GetEvent(event)) HandleThreadEvent(event);
    } catch (const std::exception& error) {
        ReportError(error.what(), 0);
    }
}

void TControlThread::HandleThreadEvent(const Event& event) {
    if (event.id == EventId::CommSettings) {
        OpenLink(ParseCommSettings(event.text));
        return;
    }
    if (devices) devices->Dispatch(event);
    if (windowBroker != nullptr) windowBroker->PostEvent(event);
}

void TControlThread::OpenLink(const CommPrefs& settings) {
    std::string reason;
    if (driver != nullptr) {
        driver->Close();
        if (devices) devices->Remove(driver);
        delete driver;
        driver = nullptr;
        // Until a new driver exists the engine must not touch the old one.
        if (engine != nullptr) engine->SetDriver(nullptr);
    }
    commSettings = settings;
    switch (settings.Type) {
        case 0:
            driver = new SerialWinComm("", kSerialBufferSize, kSerialBufferSize);
            reason = OpenSerialPort(driver, settings);
            break;
        case 1:
            driver = new SerialTcpIpClient(io_, settings.RemoteIp, settings.RemotePort,
                                           kQueueCapacity, kQueueCapacity);
            break;
        case 2:
            driver = new SerialTcpIpServer(io_, settings.LocalPort, kQueueCapacity, kQueueCapacity);
            break;
        default:
            break;
    }
    if (driver != nullptr) {
        driver->SetStopToken(StopToken());
        if (devices) devices->Add(driver);
        if (engine != nullptr) engine->SetDriver(driver);
    }
    if (!reason.empty()) ReportError("Error opening the comm port: " + reason, EventId::OpenFailed);
}

std::string TControlThread::OpenSerialPort(SerialDriver* driver, const CommPrefs& settings) {
    auto* port = dynamic_cast<SerialWinComm*>(driver);
    if (port == nullptr) return "COM port driver not instantiated.";
    try {
        if (port->IsOpen()) port->Close();
        port->Open(settings.Port.c_str());
        if (!port->IsOpen()) return "Error opening COM port: " + settings.Port;
        port->SetFlowControl(2);
        port->Configure(settings.Baud, settings.Bits, settings.Stop, settings.Parity);
    } catch (const std::exception& error) {
        return error.what();
    }
    return "";
}

void TControlThread::ReportError(const std::string& text, std::int32_t id) {
    if (!threadQueue) return;
    threadQueue->AddEvent(Event{id == 0 ? EventId::Error : id, 0, threadNumber, text});
}
