#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

// The thread the application core lives on. Every call into AppCore happens there: the
// broker notifier, timers of send runs, and the control API's requests are all posted to it,
// so the core needs no lock and the window sees its state change on its own thread.
class Scheduler {
public:
    virtual ~Scheduler() = default;
    // Runs `work` on the core's thread after at least `delayMs` milliseconds (0: as soon as
    // it can). Safe from any thread.
    virtual void Post(std::function<void()> work, int delayMs = 0) = 0;
    // True on the core's thread.
    virtual bool RunsHere() const = 0;
};

// Runs `work` on the scheduler's thread and returns its result, or nothing when the core did
// not get to it within `timeout` or `cancel` was set meanwhile (it then never runs).
template <class Result>
std::optional<Result> CallOn(Scheduler& scheduler, std::function<Result()> work,
                             std::chrono::milliseconds timeout,
                             const std::atomic<bool>* cancel = nullptr) {
    if (scheduler.RunsHere()) return work();
    struct Call {
        std::mutex lock;
        std::condition_variable done;
        std::optional<Result> result;
        bool abandoned = false;
    };
    auto call = std::make_shared<Call>();
    scheduler.Post([call, work = std::move(work)] {
        {
            std::lock_guard<std::mutex> guard(call->lock);
            if (call->abandoned) return;
        }
        Result result = work();
        std::lock_guard<std::mutex> guard(call->lock);
        call->result = std::move(result);
        call->done.notify_all();
    });
    std::unique_lock<std::mutex> guard(call->lock);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // In slices, so that a cancel (the server stopping) is seen soon.
    while (!call->result) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline || (cancel != nullptr && cancel->load())) {
            call->abandoned = true;
            return std::nullopt;
        }
        call->done.wait_for(guard, std::min<std::chrono::steady_clock::duration>(
                                       deadline - now, std::chrono::milliseconds(20)));
    }
    return std::move(call->result);
}

// A scheduler with a thread of its own, for programs and tests without an event loop.
class LoopScheduler : public Scheduler {
public:
    LoopScheduler();
    // Stops the thread; work still waiting is dropped.
    ~LoopScheduler() override;

    void Post(std::function<void()> work, int delayMs = 0) override;
    bool RunsHere() const override;

private:
    boost::asio::io_context io_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
    std::thread thread_;
};
