#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/scoped_ptr.hpp>

#include "settings/prefs.h"
#include "thread/device_manager.h"
#include "thread/event_broker.h"
#include "thread/event_manager.h"
#include "thread/thread_wrapper.h"

class SerialDriver;
class VantorProtocol;

// The control thread: owns the link (driver) and the protocol engine, and loops about a
// hundred times a second. Each pass delivers at most one socket notification, polls every
// device, moves at most one event from its own queue and one request from the windows to
// the devices and on to the windows, then sleeps 10 ms. Errors become event 10003.
class TControlThread : public TThread {
public:
    TControlThread(EventBroker* requestBroker, EventBroker* windowBroker,
                   const CommPrefs& settings, std::int32_t threadNumber);
    // Ends the thread if the owner has not, then deletes the devices (closing the link).
    ~TControlThread() override;

    boost::scoped_ptr<EventManager> threadQueue;
    boost::scoped_ptr<DeviceManager> devices;
    EventBroker* windowBroker;
    EventBroker* requestBroker;
    CommPrefs commSettings;
    SerialDriver* driver = nullptr;
    VantorProtocol* engine = nullptr;
    std::int32_t threadNumber;

    // The 10008 text for a settings record, and the record a 10008 text stands for (fields
    // that are missing or not decimal integers take their defaults).
    static std::string FormatCommSettings(const CommPrefs& settings);
    static CommPrefs ParseCommSettings(std::string text);

    // Called on the control thread at the start of every pass; set before Resume. For
    // measurements of the pass rhythm.
    void SetPassObserver(std::function<void()> observer) { passObserver_ = std::move(observer); }

protected:
    void Execute() override;

private:
    void OpenLink(const CommPrefs& settings);
    std::string OpenSerialPort(SerialDriver* driver, const CommPrefs& settings);
    void HandleThreadEvent(const Event& event);
    void ReportError(const std::string& text, std::int32_t id);
    void Pass();

    // Socket notifications are handlers on this context, run one per pass on this thread.
    boost::asio::io_context io_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
    std::function<void()> passObserver_;
};
