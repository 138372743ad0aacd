// BluezRefusalLog: the log of method calls refused because they did not come from
// bluetoothd, kept short under a flood.
//
// Within a window of kWindow, opened by the first refusal after the last window
// closed, the first kLoggedPerWindow refusals are logged in full
// ("Sorvane BLE: refused <method> from <sender> (not bluetoothd)"); the rest are
// only counted. The count is logged in one line ("Sorvane BLE: refused <n> more
// calls from <sender> (not bluetoothd)", "... from <sender> and other callers ..."
// when several senders were counted) by the first refused() or flush() after the
// window closed, or by flushAll(). The refusals themselves are answered by the
// caller either way.
//
// Thread safety: none; used on the peripheral's queue only.
#pragma once

#include "base/Clock.h"

#include <chrono>
#include <optional>
#include <string>

namespace sorvane {

class BluezRefusalLog {
public:
    static constexpr std::chrono::seconds kWindow{10};
    static constexpr unsigned kLoggedPerWindow = 5;

    explicit BluezRefusalLog(SteadyClock clock);

    // Notes one refused call of `method` from `sender`.
    void refused(const std::string& method, const std::string& sender);
    // Logs the count of the last window if it has closed.
    void flush();
    // Logs the count of the current window now, whether or not it has closed.
    void flushAll();

private:
    void logSuppressed();

    const SteadyClock m_clock;
    std::optional<std::chrono::steady_clock::time_point> m_windowStart;
    unsigned m_logged = 0;
    unsigned long long m_suppressed = 0;
    std::string m_suppressedSender; // the first sender counted in this window
    bool m_otherSenders = false;    // someone else was counted too
};

} // namespace sorvane
