#include "adapters/linux/bluez/BluezRefusalLog.h"

#include "base/Log.h"

namespace sorvane {

BluezRefusalLog::BluezRefusalLog(SteadyClock clock)
    : m_clock(clock ? std::move(clock) : systemSteadyClock()) {}

void BluezRefusalLog::refused(const std::string& method, const std::string& sender) {
    flush();
    if (!m_windowStart)
        m_windowStart = m_clock();
    if (m_logged < kLoggedPerWindow) {
        ++m_logged;
        logLine("Sorvane BLE: refused " + method + " from " + sender + " (not bluetoothd)");
        return;
    }
    if (m_suppressed == 0)
        m_suppressedSender = sender;
    else if (sender != m_suppressedSender)
        m_otherSenders = true;
    ++m_suppressed;
}

void BluezRefusalLog::flush() {
    if (m_windowStart && m_clock() - *m_windowStart >= kWindow)
        flushAll();
}

void BluezRefusalLog::flushAll() {
    if (m_suppressed > 0)
        logSuppressed();
    m_windowStart.reset();
    m_logged = 0;
    m_suppressed = 0;
    m_suppressedSender.clear();
    m_otherSenders = false;
}

void BluezRefusalLog::logSuppressed() {
    logLine("Sorvane BLE: refused " + std::to_string(m_suppressed) + " more call" +
            (m_suppressed == 1 ? "" : "s") + " from " + m_suppressedSender +
            (m_otherSenders ? " and other callers" : "") + " (not bluetoothd)");
}

} // namespace sorvane
