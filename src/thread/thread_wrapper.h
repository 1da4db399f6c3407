#pragma once

#include <atomic>
#include <stop_token>
#include <thread>

// A worker thread that is created suspended, resumed once, asked to terminate and waited for.
// Execute runs on the new thread and should return soon after Terminated() turns true.
class TThread {
public:
    TThread() = default;
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;
    // The owner waits for the thread before destroying it; as a last resort this does too.
    virtual ~TThread();

    // Starts Execute on its own thread; later calls do nothing.
    void Resume();
    // Asks the thread to end: Terminated() turns true and the stop token fires, which ends
    // any wait that watches it (a serial write held back by the line, a blocked socket send).
    void Terminate();
    // Waits until Execute has returned (at once if it never started).
    void WaitFor();

    bool Terminated() const { return stop_.stop_requested(); }
    std::stop_token StopToken() const { return stop_.get_token(); }

protected:
    virtual void Execute() = 0;

private:
    std::thread thread_;
    std::stop_source stop_;
    std::atomic<bool> started_{false};
};
