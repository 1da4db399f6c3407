#include "app/scheduler.h"

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

LoopScheduler::LoopScheduler() : work_(io_.get_executor()), thread_([this] { io_.run(); }) {}

LoopScheduler::~LoopScheduler() {
    io_.stop();
    thread_.join();
}

void LoopScheduler::Post(std::function<void()> work, int delayMs) {
    if (delayMs <= 0) {
        boost::asio::post(io_, std::move(work));
        return;
    }
    auto timer = std::make_shared<boost::asio::steady_timer>(io_);
    timer->expires_after(std::chrono::milliseconds(delayMs));
    timer->async_wait([timer, work = std::move(work)](const boost::system::error_code& error) {
        if (!error) work();
    });
}

bool LoopScheduler::RunsHere() const {
    return std::this_thread::get_id() == thread_.get_id();
}
