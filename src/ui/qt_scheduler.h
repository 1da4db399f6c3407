#pragma once

#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <functional>

#include "app/scheduler.h"

// The application core on the program's main thread: work is queued to its event loop,
// delayed work through a single-shot precise timer there. The time is counted on the steady
// clock from the moment of posting, and a timer that comes early is set again for the rest:
// a send row's delay is never shorter than asked.
class QtScheduler : public Scheduler {
public:
    explicit QtScheduler(QObject* context) : context_(context) {}

    void Post(std::function<void()> work, int delayMs = 0) override {
        QObject* context = context_;
        const auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs);
        QMetaObject::invokeMethod(
            context,
            [context, work = std::move(work), delayMs, due]() mutable {
                if (delayMs <= 0) {
                    work();
                } else {
                    // The whole delay from now, even when this call itself came late: under
                    // load the pause is what lets other work on this thread have its turn.
                    QTimer::singleShot(delayMs, Qt::PreciseTimer, context,
                                       [context, work = std::move(work), due]() mutable {
                                           RunAt(context, std::move(work), due);
                                       });
                }
            },
            Qt::QueuedConnection);
    }
    bool RunsHere() const override { return QThread::currentThread() == context_->thread(); }

private:
    static void RunAt(QObject* context, std::function<void()> work,
                      std::chrono::steady_clock::time_point due) {
        const auto left = due - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) {
            work();
            return;
        }
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        QTimer::singleShot(static_cast<int>(ms), Qt::PreciseTimer, context,
                           [context, work = std::move(work), due]() mutable {
                               RunAt(context, std::move(work), due);
                           });
    }

    QObject* context_;
};
