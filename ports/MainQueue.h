// The application's main thread, where the model, the user interface and every
// handler live.
//
// Thread safety: post(), postDelayed() and isMainThread() may be called from any
// thread. Posted tasks run on the main thread, one at a time, in posting order;
// delayed tasks run once their delay has passed, those due at the same time in
// posting order. A task posted while the queue is being destroyed may be dropped.
#pragma once

#include <chrono>
#include <functional>

namespace sorvane {

class MainQueue {
public:
    virtual ~MainQueue() = default;

    // Runs `task` later on the main thread; never runs it before returning.
    virtual void post(std::function<void()> task) = 0;
    // Runs `task` on the main thread once `delay` has passed.
    virtual void postDelayed(std::chrono::milliseconds delay, std::function<void()> task) = 0;
    // True on the main thread.
    virtual bool isMainThread() const = 0;
};

} // namespace sorvane
