// MainQueue on Qt's event loop: tasks are queued to a context object that lives
// on the thread that created this queue (the GUI or main thread).
//
// Thread-safety: post(), postDelayed() and isMainThread() may be called from any
// thread. spin() runs on the main thread only. Tasks still queued when the
// QtMainQueue is destroyed are dropped, never run against a dead owner.
#pragma once

#include "ports/MainQueue.h"

#include <chrono>
#include <memory>

class QObject;

namespace sorvane {

class QtMainQueue final : public MainQueue {
public:
    QtMainQueue();
    ~QtMainQueue() override;

    void post(std::function<void()> task) override;
    bool isMainThread() const override;

    void postDelayed(std::chrono::milliseconds delay, std::function<void()> task) override;

    // Processes events on the calling (main) thread for `duration`, then returns.
    // Used at shutdown, after the event loop itself has ended.
    void spin(std::chrono::milliseconds duration);

private:
    std::unique_ptr<QObject> m_context;
};

} // namespace sorvane
