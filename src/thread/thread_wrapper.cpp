#include "thread/thread_wrapper.h"

TThread::~TThread() {
    Terminate();
    WaitFor();
}

void TThread::Resume() {
    if (started_.exchange(true)) return;
    thread_ = std::thread([this] { Execute(); });
}

void TThread::Terminate() { stop_.request_stop(); }

void TThread::WaitFor() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}
