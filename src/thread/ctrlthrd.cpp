#include "thread/ctrlthrd.h"

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <stop_token>

#include <boost/asio/post.hpp>

#include "base/flow_gate.h"
#include "drivers/describe_link.h"
#include "drivers/line_faults.h"
#include "drivers/link_driver.h"
#include "drivers/pty_driver.h"
#include "drivers/serial_tcpip_client.h"
#include "drivers/serial_tcpip_server.h"
#include "drivers/serial_win_comm.h"
#include "protocol/proxy_engine.h"
#include "protocol/vantor_protocol.h"
#include "settings/proxy_side.h"
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
    // The list may delete the engine before a link, whose closing then tells of its ended
    // connections: to nobody.
    engine = nullptr;
    proxy = nullptr;
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
            if (proxy != nullptr) proxy->HoldInput(held);
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
        if (!moved && (engine == nullptr || !engine->HasWork()) && (proxy == nullptr || !proxy->HasWork())) {
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
    std::optional<std::int64_t> due = engine->NextDue();
    if (proxy != nullptr)
        if (const auto proxyDue = proxy->NextDue(); proxyDue && (!due || *proxyDue < *due)) due = proxyDue;
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
    LinkState state;
    std::vector<SerialDriver*> links{driver};
    if (ProxyMode()) {
        state.kind = LinkKind::Proxy;
        links = {sides[0], sides[1]};
        for (int side = 0; side < 2; ++side) state.sides.push_back(DescribeLink(sides[side], sideSettings[side]));
        state.phase = state.Connected() ? LinkState::Up : LinkState::Closed;
        state.where = commSettings.ProxyA + " <-> " + commSettings.ProxyB;
    } else {
        state = DescribeLink(driver, commSettings);
    }
    if (!linkReported_ || state != *linkReported_) {
        state.micros = VantorProtocol::WallMicros();
        linkReported_ = state;
        Event event{EventId::LinkState, 0, threadNumber, {}};
        event.payload = state;
        if (windowBroker != nullptr) windowBroker->PostEvent(std::move(event));
    }
    // The proxy's frame counts go with the link's state, at most as often.
    if (proxy != nullptr) {
        const ProxyTally tally = proxy->Tally();
        if (!tallyReported_ || tally != *tallyReported_) {
            tallyReported_ = tally;
            Event event{EventId::ProxyTally, 0, threadNumber, {}};
            event.payload = tally;
            if (windowBroker != nullptr) windowBroker->PostEvent(std::move(event));
        }
    }
    const auto serialUp = [](const LinkState& link) {
        return LinkKindOf(link.kind).can.modemLines && link.phase == LinkState::Up;
    };
    if (serialUp(state) || std::any_of(state.sides.begin(), state.sides.end(), serialUp))
        arm(now + kModemCheckPeriod);
    // A client waiting to try again counts the seconds down: looked at again when the
    // number shown changes.
    for (SerialDriver* link : links) {
        if (const auto* client = dynamic_cast<SerialTcpIpClient*>(Unwrapped(link))) {
            if (const auto due = client->RetryDue()) {
                const auto left = *due - now;
                const auto whole = std::chrono::ceil<std::chrono::seconds>(left);
                arm(std::max(now + kLinkCheckPeriod,
                             *due - whole + std::chrono::seconds(1) + std::chrono::milliseconds(1)));
            }
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
    if (!engine->ReportResponder(status, VantorProtocol::SteadyMicros() / 1000, VantorProtocol::WallMicros() / 1000))
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
    const auto* actionArgs = std::get_if<LinkActionArgs>(&event.payload);
    // Proxy mode: the side a drop or reconnect names (0 A, 1 B), or -1 for both.
    const int namedSide = actionArgs != nullptr && ProxyMode() && (actionArgs->side == 1 || actionArgs->side == 2)
                              ? actionArgs->side - 1
                              : -1;
    if (event.id == EventId::LinkAction && event.value == LinkActionCode::Reconnect) {
        // A new connection (or the port opened again) with the settings in use; one side of
        // the proxy alone leaves the other side's connection as it is.
        if (namedSide >= 0) {
            CloseSide(namedSide);
            OpenSide(namedSide);
        } else {
            OpenLink(commSettings);
        }
    } else if (event.id == EventId::LinkAction && ProxyMode()) {
        // The proxy has no line of its own: dropping drops both sides' connections (or the
        // named side's); the rest belongs to one side, and says so rather than doing nothing.
        if (event.value == LinkActionCode::DropConnections) {
            for (int side = 0; side < 2; ++side)
                if (sides[side] != nullptr && (namedSide < 0 || namedSide == side)) sides[side]->DropLink();
        } else {
            ReportError("The proxy has no line of its own: a break, XOFF or raw bytes go to a side as its line "
                        "faults, or as a message of ours",
                        0);
        }
    }
    if (event.id == EventId::SetLineFaults) {
        if (const auto* faults = std::get_if<LineFaults>(&event.payload)) {
            const bool sideB = event.value == 1;
            SerialDriver* link = ProxyMode() ? sides[sideB ? 1 : 0] : (sideB ? nullptr : driver);
            auto* line = dynamic_cast<FaultyLine*>(link);
            const std::string error = line != nullptr ? line->SetFaults(*faults) : LineFaultsError(*faults);
            if (error.empty()) {
                (sideB ? lineFaultsB : lineFaults) = *faults;  // and for every link opened later
            } else {
                ReportError(error, 0);
            }
        }
    }
    if (event.id == EventId::SetProxyFaults) {
        if (const auto* faults = std::get_if<ProxyFaults>(&event.payload)) {
            const std::string error = proxy != nullptr ? proxy->SetFaults(*faults) : ProxyFaultsError(*faults);
            if (error.empty()) {
                proxyFaults = *faults;
            } else {
                ReportError("Proxy faults: " + error, 0);
            }
        }
    }
    if (ProxyMode() && (event.id == EventId::SendText || event.id == EventId::SendBytes)) {
        // The proxy sends our message to a side; the engine, which has no link now, never
        // sees it. Bits 8 and 9 of the value may name the side (1 A, 2 B); else the settings'.
        const int named = (event.value >> 8) & 3;
        const ProxySide side = named == 1   ? ProxySide::A
                               : named == 2 ? ProxySide::B
                                            : (commSettings.ProxyInject == 0 ? ProxySide::A : ProxySide::B);
        std::string text = event.text;
        if (event.id == EventId::SendText) text.resize(std::strlen(text.c_str()));
        if (proxy != nullptr) {
            proxy->Inject(side, static_cast<std::uint8_t>(event.value & 0xFF), text, event.source, event.request);
        } else {
            Event status{EventId::Status, StatusCommDisabled, threadNumber, {}};
            status.request = event.request;
            Event failed{EventId::TransactionFailed, event.value & 0xFF, event.source, "the proxy is not open"};
            failed.request = event.request;
            SendOutcome never;  // it never went
            never.type = static_cast<std::uint8_t>(event.value & 0xFF);
            failed.payload = never;
            if (threadQueue) {
                threadQueue->AddEvent(std::move(status));
                threadQueue->AddEvent(std::move(failed));
            }
        }
        if (windowBroker != nullptr) windowBroker->PostEvent(std::move(event));
        return;
    }
    if (event.id == EventId::Quiesce) {
        // Nothing more is read. What was read already is handled now, answered and passed on
        // before this, so that the last event of the run follows every message it read.
        quiesced_ = true;
        if (proxy != nullptr) proxy->HoldInput(true);
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

void TControlThread::CloseLinks() {
    StopSerialWatch();
    for (SerialDriver** link : {&driver, &sides[0], &sides[1]}) {
        if (*link == nullptr) continue;
        // Until a new driver exists the engines must not touch the old one.
        if (*link == driver && engine != nullptr) engine->SetDriver(nullptr);
        if (proxy != nullptr && *link == sides[0]) proxy->SetSide(ProxySide::A, nullptr);
        if (proxy != nullptr && *link == sides[1]) proxy->SetSide(ProxySide::B, nullptr);
        (*link)->Close();
        if (devices) devices->Remove(*link);
        delete *link;
        *link = nullptr;
    }
}

SerialDriver* TControlThread::MakeLink(const CommPrefs& settings, const std::string& listenAddress,
                                       const LineFaults& faults, std::string& reason) {
    std::unique_ptr<SerialDriver> made =
        MakeLinkDriver(settings,
                       {io_, kQueueCapacity, kSerialBufferSize, listenAddress, ProxyMode() ? nullptr : fleetLink,
                        fleetBoard},
                       reason);
    if (!made) return nullptr;
    SerialDriver* link = made.get();
    // Every link goes through its line faults; with none they pass everything as it is.
    auto* line = new FaultyLine(io_, std::move(made));
    if (const std::string error = line->SetFaults(faults); !error.empty()) ReportError(error, 0);
    line->SetStopToken(StopToken());
    link->SetStopToken(StopToken());
    // A new connection is told before its first frame is read, not at the next look.
    link->SetOnPeersChanged([this, line](std::uint64_t origin, const std::string& peer, bool up) {
        linkCheckedAt_ = {};
        // A proxy side's connections are the proxy's sessions, none of the idle engine's.
        if (ProxyMode()) {
            if (proxy != nullptr) proxy->PeerChanged(line, peer, up);
        } else if (engine != nullptr) {
            engine->PeerChanged(origin, peer, up);
        }
    });
    if (devices) devices->Add(line);
    WatchSerialPort(line);
    return line;
}

void TControlThread::OpenLink(const CommPrefs& settings) {
    CloseLinks();
    commSettings = settings;
    if (ProxyMode()) {
        OpenProxy(settings);
        return;
    }
    std::string reason;
    try {
        driver = MakeLink(settings, {}, lineFaults, reason);
    } catch (const std::exception& failure) {
        // A server whose address is in use, say: told as the link not opening.
        reason = failure.what();
    }
    if (engine != nullptr) engine->SetDriver(driver);
    if (!reason.empty()) ReportError("Error opening the comm port: " + reason, EventId::OpenFailed);
}

void TControlThread::OpenProxy(const CommPrefs&) {
    if (proxy == nullptr) {
        proxy = new ProxyEngine(nullptr, nullptr, 2);
        proxy->tap = trafficTap;
        if (const std::string error = proxy->SetFaults(proxyFaults); !error.empty())
            ReportError("Proxy faults: " + error, 0);
        if (devices) devices->Add(proxy);
    }
    for (int side = 0; side < 2; ++side) OpenSide(side);
}

void TControlThread::OpenSide(int side) {
    const char* name = side == 0 ? "A" : "B";
    std::string error;
    const ProxySideLink link =
        ParseProxySide(side == 0 ? commSettings.ProxyA : commSettings.ProxyB, commSettings, error);
    sideSettings[side] = link.comm;
    std::string reason = error;
    if (error.empty()) {
        try {
            sides[side] = MakeLink(link.comm, link.listenAddress, side == 0 ? lineFaults : lineFaultsB, reason);
        } catch (const std::exception& failure) {
            // One side that cannot open leaves the other working (and showing why).
            reason = failure.what();
        }
    }
    if (proxy != nullptr) proxy->SetSide(side == 0 ? ProxySide::A : ProxySide::B, sides[side]);
    if (!reason.empty())
        ReportError(std::string("Error opening the proxy's side ") + name + ": " + reason, EventId::OpenFailed);
}

void TControlThread::CloseSide(int side) {
    SerialDriver*& link = sides[side];
    if (link == nullptr) return;
    // Until a new driver exists the proxy must not touch the old one.
    if (proxy != nullptr) proxy->SetSide(side == 0 ? ProxySide::A : ProxySide::B, nullptr);
    StopSerialWatch(link);
    link->Close();
    if (devices) devices->Remove(link);
    delete link;
    link = nullptr;
}

void TControlThread::WatchSerialPort(SerialDriver* link) {
    // A virtual serial port watches itself.
    auto* port = dynamic_cast<SerialWinComm*>(Unwrapped(link));
    if (port == nullptr || !port->IsOpen()) return;
    boost::system::error_code error;
    auto watch = std::make_unique<asio::posix::stream_descriptor>(io_);
    watch->assign(port->handle, error);
    if (error) {
        watch->release();
        return;  // the 10 ms timer still polls the port
    }
    serialWatches_.push_back(SerialWatch{link, std::move(watch)});
    ArmSerialWatch(serialWatches_.back().watch.get());
}

void TControlThread::ArmSerialWatch(asio::posix::stream_descriptor* watch) {
    // Armed again before the bytes are read (Work runs after this handler), so bytes that
    // arrive meanwhile wake the thread once more.
    watch->async_wait(asio::posix::stream_descriptor::wait_read,
                      [this, watch](const boost::system::error_code& error) {
                          // Cancelled, or done before the link closed and run after: the watch
                          // is gone either way.
                          if (error || std::none_of(serialWatches_.begin(), serialWatches_.end(),
                                                    [watch](const auto& w) { return w.watch.get() == watch; }))
                              return;
                          // A port whose other end is gone stays "readable": stop watching it
                          // rather than waking for ever.
                          pollfd p{watch->native_handle(), POLLIN, 0};
                          if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) return;
                          ArmSerialWatch(watch);
                      });
}

void TControlThread::StopSerialWatch(SerialDriver* link) {
    std::erase_if(serialWatches_, [link](SerialWatch& w) {
        if (link != nullptr && w.link != link) return false;
        boost::system::error_code ignored;
        w.watch->cancel(ignored);
        w.watch->release();  // the driver closes its descriptor itself
        return true;
    });
}

void TControlThread::ReportError(const std::string& text, std::int32_t id) {
    if (!threadQueue) return;
    threadQueue->AddEvent(Event{id == 0 ? EventId::Error : id, 0, threadNumber, text});
}
