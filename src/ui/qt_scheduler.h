#pragma once

#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <QTimer>

#include <functional>

#include "app/scheduler.h"

// The application core on the program's main thread: work is queued to its event loop,
// delayed work through a single-shot precise timer there (a coarse one may fire 5 % early,
// and a send row's delay is never shorter than asked).
class QtScheduler : public Scheduler {
public:
    explicit QtScheduler(QObject* context) : context_(context) {}

    void Post(std::function<void()> work, int delayMs = 0) override {
        QObject* context = context_;
        QMetaObject::invokeMethod(
            context,
            [context, work = std::move(work), delayMs]() mutable {
                if (delayMs <= 0) {
                    work();
                } else {
                    QTimer::singleShot(delayMs, Qt::PreciseTimer, context, std::move(work));
                }
            },
            Qt::QueuedConnection);
    }
    bool RunsHere() const override { return QThread::currentThread() == context_->thread(); }

private:
    QObject* context_;
};
