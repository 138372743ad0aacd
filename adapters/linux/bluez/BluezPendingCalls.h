// BluezPendingCalls: the reply handles of method calls on the GATT application
// that wait for their answer, each under an id (the request id the delegate
// sees) and tagged with the application generation it came in for. Held here
// rather than in posted tasks so that every reply handle dies before the
// connection does.
//
// Thread safety: every method may be called from any thread; park() runs on the
// connection's event-loop thread, the others on the peripheral's queue. Answers
// are sent outside the lock; an answer that cannot be delivered (the caller or
// the connection is gone) is dropped.
#pragma once

#include "base/ThreadSafety.h"
#include "adapters/linux/bluez/BluezGattApplication.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace sorvane {

class BluezPendingCalls {
public:
    struct Call {
        uint64_t applicationGeneration = 0;
        BluezGattApplication::ReadReply read; // ReadValue
        BluezGattApplication::VoidReply done; // WriteValue, StartNotify, StopNotify
    };

    uint64_t park(Call call) SORVANE_EXCLUDES(m_mutex);
    // Removes and returns the call; absent when it was answered already.
    std::optional<Call> take(uint64_t id) SORVANE_EXCLUDES(m_mutex);
    // Answers every call of that application generation with org.bluez.Error.Failed.
    void failGeneration(uint64_t applicationGeneration, const std::string& why) SORVANE_EXCLUDES(m_mutex);
    // Answers every call with org.bluez.Error.Failed.
    void failAll(const std::string& why) SORVANE_EXCLUDES(m_mutex);

    static void answerError(const Call& call, const char* name, const std::string& message);

private:
    Mutex m_mutex;
    uint64_t m_nextID SORVANE_GUARDED_BY(m_mutex) = 1;
    std::map<uint64_t, Call> m_calls SORVANE_GUARDED_BY(m_mutex);
};

} // namespace sorvane
