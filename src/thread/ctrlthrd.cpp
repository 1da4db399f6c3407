#include "thread/ctrlthrd.h"

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <mutex>
#include <stop_token>

#include <boost/asio/post.hpp>

#include "base/flow_gate.h"
#include "drivers/describe_link.h"
#include "drivers/line_faults.h"
#include "drivers/pty_driver.h"
#include "drivers/serial_tcpip_client.h"
#include "drivers/serial_tcpip_server.h"
#include "drivers/serial_win_comm.h"
#include "protocol/vantor_protocol.h"
#include "text/integer.h"
#include "text/next_token.h"

namespace {

namespace asio = boost::asio;

constexpr auto kPassPeriod = std::chrono::milliseconds(10);
constexpr std::int32_t kQueueCapacity = 1500;
constexpr std::int32_t kSerialBufferSize = 512;
// Rounds of polling in one go before notifications that came meanwhile get their turn.
constexpr int kRoundsPerWork = 256;
// How often the link's state is looked at: at most this often after work, and this often
// while a serial port is open (its modem lines change without any bytes).
constexpr auto kLinkCheckPeriod = std::chrono::milliseconds(50);
constexpr auto kModemCheckPeriod = std::chrono::milliseconds(250);

std::int32_t IntOr(const std::string& field, std::int32_t fallback) {
    return ParseInteger(field, Blanks::LeadingSpaces).value_or(fallback);
}

// The next field of a settings text, taken off its front: a quoted field up to its closing
// quote (and the comma after it), anything else up to the next comma.
std::string NextField(std::string& text) {
    if (text.empty() || text[0] != '"') return NextToken(text, ",");
    std::string field;
    std::size_t i = 1;
    for (; i < text.size(); ++i) {
        if (text[i] == '"') {
            if (i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
                continue;
            }
            break;
        }
        field += text[i];
    }
    text.erase(0, std::min(text.size(), i + 1));
    NextToken(text, ",");  // anything between the closing quote and the comma
    return field;
}

}  // namespace

// Lets a request posted into the request broker wake the thread, once the thread object may
// be gone: the broker outlives it in some owners.
struct TControlThread::Wake {
    std::mutex lock;
    asio::io_context* io = nullptr;
    std::atomic<bool> pending{false};

    void operator()() {
        if (pending.exchange(true)) return;  // one wake-up covers every request until it runs
        std::lock_guard<std::mutex> guard(lock);
        if (io != nullptr) asio::post(*io, [this] { pending = false; });
    }
};

TControlThread::TControlThread(EventBroker* requestBroker, EventBroker* windowBroker,
                               const CommPrefs& settings, std::int32_t threadNumber)
    : windowBroker(windowBroker), requestBroker(requestBroker), commSettings(settings),
      threadNumber(threadNumber), work_(io_.get_executor()), passTimer_(io_), dueTimer_(io_),
      wake_(std::make_shared<Wake>()), linkTimer_(io_), responderTimer_(io_) {
    wake_->io = &io_;
    if (requestBroker != nullptr) {
        requestBroker->SetNotifier([wake = wake_](std::uint32_t) { (*wake)(); }, 1);
    }
}

TControlThread::~TControlThread() {
    Terminate();
    WaitFor();
    {
        std::lock_guard<std::mutex> guard(wake_->lock);
        wake_->io = nullptr;
    }
    StopSerialWatch();
    devices.reset();  // deletes the driver (closing the link) and the engine, in list order
    threadQueue.reset();
}

CommPrefs TControlThread::ParseCommSettings(std::string text) {
    CommPrefs s;
    s.Type = IntOr(NextField(text), 0);
    s.Port = NextField(text);
    s.Baud = IntOr(NextField(text), 4);
    s.Bits = IntOr(NextField(text), 1);
    s.Stop = IntOr(NextField(text), 0);
    s.Parity = IntOr(NextField(text), 2);
    s.RemoteIp = NextField(text);
    s.RemotePort = IntOr(NextField(text), 5000);
    s.LocalPort = IntOr(NextField(text), 5001);
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
        engine->tap = trafficTap;
        devices->Add(engine);
        if (gate != nullptr) {
            // A consumer that drained wakes the thread to read on.
            gate->SetWake([wake = wake_] { (*wake)(); });
        }
    } catch (const std::exception& error) {
        ReportError(error.what(), 0);
    }

    // A stop request ends the wait below at once.
    std::stop_callback onStop(StopToken(), [this] { io_.stop(); });
    asio::post(io_, [] {});  // a first round for requests posted before the thread ran
    while (!Terminated()) {
        try {
            if (io_.run_one() == 0) break;  // stopped
            Work();
            ReportLinkState();
            ReportResponder();
        } catch (const std::exception& error) {
            ReportError(error.what(), 0);
            // The report (and whatever else was left) is passed on without waiting.
            asio::post(io_, [] {});
        }
    }
}

void TControlThread::ArmPassTimer() {
    // A steady rhythm: the next expiry is a multiple of the period, however late this one ran.
    const auto now = std::chrono::steady_clock::now();
    auto next = passTimer_.expiry() + kPassPeriod;
    if (next <= now) next = now + kPassPeriod;
    passTimer_.expires_at(next);
    passTimerArmed_ = true;
    passTimer_.async_wait([this](const boost::system::error_code& error) {
        passTimerArmed_ = false;
        // Work runs after this handler; the timer goes on while the engine needs the clock.
        if (!error && engine != nullptr && engine->NeedsClock()) ArmPassTimer();
    });
}

void TControlThread::Work() {
    for (int round = 0; round < kRoundsPerWork; ++round) {
        if (Terminated()) return;
        // Asked before every poll: the engine handles at most one frame per poll, so nothing
        // that a consumer cannot take is read.
        if (engine != nullptr && gate != nullptr) {
            const bool held = quiesced_ || !gate->MayRead();
            engine->HoldInput(held);
            if (!quiesced_ && held != heldReported_) {
                heldReported_ = held;
                if (windowBroker != nullptr)
                    windowBroker->PostEvent(Event{EventId::HeldBack, 0, threadNumber, held ? gate->HeldBy() : ""});
            }
        }
        if (devices) devices->PollAll();
        bool moved = false;
        Event event;
        while (threadQueue && threadQueue->GetEvent(event)) {
            HandleThreadEvent(event);
            moved = true;
        }
        while (requestBroker != nullptr && requestBroker->GetEvent(event)) {
            HandleThreadEvent(event);
            moved = true;
        }
        if (!moved && (engine == nullptr || !engine->HasWork())) {
            if (engine != nullptr) engine->PushWritten();
            ArmTimers();
            return;
        }
    }
    if (engine != nullptr) engine->PushWritten();
    ArmTimers();
    asio::post(io_, [] {});  // still busy: go on after the notifications waiting meanwhile
}

void TControlThread::ArmTimers() {
    if (engine == nullptr) return;
    if (!passTimerArmed_ && engine->NeedsClock()) ArmPassTimer();
    const std::optional<std::int64_t> due = engine->NextDue();
    if (!due || due == dueArmedFor_) return;
    // The engine's microseconds are those of the steady clock.
    dueTimer_.expires_at(std::chrono::steady_clock::time_point(std::chrono::microseconds(*due)));
    dueArmedFor_ = due;
    dueTimer_.async_wait([this](const boost::system::error_code& error) {
        if (!error) dueArmedFor_.reset();  // Work runs after this handler and arms the next
    });
}

void TControlThread::ReportLinkState() {
    const auto now = std::chrono::steady_clock::now();
    const auto arm = [this](std::chrono::steady_clock::time_point when) {
        if (linkTimerArmed_) return;
        linkTimerArmed_ = true;
        linkTimer_.expires_at(when);
        // Work and this check run after the handler.
        linkTimer_.async_wait([this](const boost::system::error_code&) { linkTimerArmed_ = false; });
    };
    if (now - linkCheckedAt_ < kLinkCheckPeriod) {
        arm(linkCheckedAt_ + kLinkCheckPeriod);  // a change meanwhile is seen a little later
        return;
    }
    linkCheckedAt_ = now;
    const LinkState state = DescribeLink(driver, commSettings);
    if (!linkReported_ || state != *linkReported_) {
        linkReported_ = state;
        Event event{EventId::LinkState, 0, threadNumber, {}};
        event.payload = state;
        if (windowBroker != nullptr) windowBroker->PostEvent(std::move(event));
    }
    if (state.kind == LinkState::Serial && state.phase == LinkState::Up) arm(now + kModemCheckPeriod);
    // A client waiting to try again counts the seconds down: looked at again when the
    // number shown changes.
    if (const auto* client = dynamic_cast<SerialTcpIpClient*>(Unwrapped(driver))) {
        if (const auto due = client->RetryDue()) {
            const auto left = *due - now;
            const auto whole = std::chrono::ceil<std::chrono::seconds>(left);
            arm(std::max(now + kLinkCheckPeriod, *due - whole + std::chrono::seconds(1) + std::chrono::milliseconds(1)));
        }
    }
}

void TControlThread::ReportResponder() {
    if (engine == nullptr || !engine->responder || windowBroker == nullptr) return;
    constexpr auto kPeriod = std::chrono::milliseconds(20);
    const auto now = std::chrono::steady_clock::now();
    if (now - responderReportedAt_ < kPeriod) {
        if (!responderTimerArmed_) {
            responderTimerArmed_ = true;
            responderTimer_.expires_at(responderReportedAt_ + kPeriod);
            // This check runs again after the handler.
            responderTimer_.async_wait([this](const boost::system::error_code&) { responderTimerArmed_ = false; });
        }
        return;
    }
    ResponderStatus status;
    if (!engine->responder->Report(status, VantorProtocol::SteadyMicros() / 1000, VantorProtocol::WallMicros() / 1000))
        return;
    responderReportedAt_ = now;
    Event event{EventId::ResponderReport, 0, threadNumber, {}};
    event.payload = std::move(status);
    windowBroker->PostEvent(std::move(event));
}

void TControlThread::HandleThreadEvent(Event& event) {
    if (event.id == EventId::CommSettings) {
        const auto* settings = std::get_if<CommPrefs>(&event.payload);
        OpenLink(settings != nullptr ? *settings : ParseCommSettings(event.text));
        return;
    }
    if (event.id == EventId::LinkAction && event.value == LinkActionCode::Reconnect) {
        // A new connection (or the port opened again) with the settings in use.
        OpenLink(commSettings);
    }
    if (event.id == EventId::SetLineFaults) {
        if (const auto* faults = std::get_if<LineFaults>(&event.payload)) {
            auto* line = dynamic_cast<FaultyLine*>(driver);
            const std::string error = line != nullptr ? line->SetFaults(*faults) : LineFaultsError(*faults);
            if (error.empty()) {
                lineFaults = *faults;  // and for every link opened later
            } else {
                ReportError(error, 0);
            }
        }
    }
    if (event.id == EventId::Quiesce) {
        // Nothing more is read. What was read already is handled now, answered and passed on
        // before this, so that the last event of the run follows every message it read.
        quiesced_ = true;
        if (engine != nullptr) {
            engine->HoldInput(true);
            // At most a block's frames are left; a write that fails ends the answering, not
            // the last event.
            try {
                for (int frames = 0; engine->enabled && engine->HasBufferedInput() && frames < 4096; ++frames)
                    engine->Poll();
                engine->PushWritten();
            } catch (const std::exception& error) {
                ReportError(error.what(), 0);
            }
        }
        Event earlier;
        while (threadQueue && threadQueue->GetEvent(earlier)) HandleThreadEvent(earlier);
    }
    if (devices) devices->Dispatch(event);
    if (event.id == EventId::SetResponder) {
        // The engine holds the responder now; the windows hear only that it took it, so
        // that it is never used nor ended on their thread.
        event.payload = std::monostate{};
        // What the old one had left untold goes with it; the new one tells from its start.
        responderReportedAt_ = {};
    }
    if (windowBroker != nullptr) windowBroker->PostEvent(std::move(event));
}

void TControlThread::OpenLink(const CommPrefs& settings) {
    std::string reason;
    if (driver != nullptr) {
        StopSerialWatch();
        driver->Close();
        if (devices) devices->Remove(driver);
        delete driver;
        driver = nullptr;
        // Until a new driver exists the engine must not touch the old one.
        if (engine != nullptr) engine->SetDriver(nullptr);
    }
    commSettings = settings;
    SerialDriver* link = nullptr;
    switch (settings.Type) {
        case 0:
            link = new SerialWinComm("", kSerialBufferSize, kSerialBufferSize);
            reason = OpenSerialPort(link, settings);
            break;
        case 1:
            link = new SerialTcpIpClient(io_, settings.RemoteIp, settings.RemotePort,
                                         kQueueCapacity, kQueueCapacity, {},
                                         SerialTcpIpClient::Retry{settings.AutoReconnect != 0});
            break;
        case 2:
            link = new SerialTcpIpServer(io_, settings.LocalPort, kQueueCapacity, kQueueCapacity);
            break;
        case 3: {
            auto* pty = new PtyDriver(io_);
            link = pty;
            if (pty->Open(settings.Port.c_str()) != 0) {
                pty->Configure(settings.Baud, settings.Bits, settings.Stop, settings.Parity);
            } else {
                reason = pty->OpenError();
            }
            break;
        }
        default:
            break;
    }
    if (link != nullptr) {
        // Every link goes through its line faults; with none they pass everything as it is.
        auto* line = new FaultyLine(io_, std::unique_ptr<SerialDriver>(link));
        driver = line;
        if (const std::string error = line->SetFaults(lineFaults); !error.empty()) ReportError(error, 0);
        driver->SetStopToken(StopToken());
        link->SetStopToken(StopToken());
        if (devices) devices->Add(driver);
        if (engine != nullptr) engine->SetDriver(driver);
        WatchSerialPort();
    }
    if (!reason.empty()) ReportError("Error opening the comm port: " + reason, EventId::OpenFailed);
}

void TControlThread::WatchSerialPort() {
    // A virtual serial port watches itself.
    auto* port = dynamic_cast<SerialWinComm*>(Unwrapped(driver));
    if (port == nullptr || !port->IsOpen()) return;
    boost::system::error_code error;
    serialWatch_ = std::make_unique<asio::posix::stream_descriptor>(io_);
    serialWatch_->assign(port->handle, error);
    if (error) {
        serialWatch_.reset();  // the 10 ms timer still polls the port
        return;
    }
    ArmSerialWatch();
}

void TControlThread::ArmSerialWatch() {
    // Armed again before the bytes are read (Work runs after this handler), so bytes that
    // arrive meanwhile wake the thread once more.
    serialWatch_->async_wait(asio::posix::stream_descriptor::wait_read,
                             [this, watch = serialWatch_.get()](const boost::system::error_code& error) {
                                 if (error || watch != serialWatch_.get()) return;
                                 // A port whose other end is gone stays "readable": stop
                                 // watching it rather than waking for ever.
                                 pollfd p{watch->native_handle(), POLLIN, 0};
                                 if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) return;
                                 ArmSerialWatch();
                             });
}

void TControlThread::StopSerialWatch() {
    if (!serialWatch_) return;
    boost::system::error_code ignored;
    serialWatch_->cancel(ignored);
    serialWatch_->release();  // the driver closes its descriptor itself
    serialWatch_.reset();
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
