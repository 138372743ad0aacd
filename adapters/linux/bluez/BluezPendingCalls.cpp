#include "adapters/linux/bluez/BluezPendingCalls.h"

#include "adapters/linux/bluez/BluezNames.h"

#include <vector>

namespace sorvane {

uint64_t BluezPendingCalls::park(Call call) {
    MutexLock lock(m_mutex);
    const uint64_t id = m_nextID++;
    m_calls.emplace(id, std::move(call));
    return id;
}

std::optional<BluezPendingCalls::Call> BluezPendingCalls::take(uint64_t id) {
    MutexLock lock(m_mutex);
    const auto it = m_calls.find(id);
    if (it == m_calls.end())
        return std::nullopt;
    Call call = std::move(it->second);
    m_calls.erase(it);
    return call;
}

void BluezPendingCalls::failGeneration(uint64_t applicationGeneration, const std::string& why) {
    std::vector<Call> failed;
    {
        MutexLock lock(m_mutex);
        for (auto it = m_calls.begin(); it != m_calls.end();) {
            if (it->second.applicationGeneration == applicationGeneration) {
                failed.push_back(std::move(it->second));
                it = m_calls.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const auto& call : failed)
        answerError(call, bluez::kErrorFailed, why);
}

void BluezPendingCalls::failAll(const std::string& why) {
    std::map<uint64_t, Call> failed;
    {
        MutexLock lock(m_mutex);
        failed.swap(m_calls);
    }
    for (const auto& entry : failed)
        answerError(entry.second, bluez::kErrorFailed, why);
}

void BluezPendingCalls::answerError(const Call& call, const char* name, const std::string& message) {
    try {
        const sdbus::Error error(name, message);
        if (call.read)
            call.read->returnError(error);
        else if (call.done)
            call.done->returnError(error);
    } catch (const sdbus::Error&) {
        // The caller or the connection is gone; nobody is waiting.
    }
}

} // namespace sorvane
