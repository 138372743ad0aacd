// What the phone counterpart needs from a Bluetooth LE central role: reads and
// writes with response on the desktop's characteristics, subscriptions with
// their notifications, and opening the desktop's L2CAP channel. The simulated
// radio implements it in-process; a D-Bus test double of bluetoothd can too.
//
// Thread safety: every method may be called from any thread and may wait for
// the desktop's answer. The notification handler is called on a thread of the
// link, one notification at a time, in the order the desktop sent them; it must
// not call back into the link. Once setNotificationHandler() returns, the
// previous handler is neither running nor called again.
#pragma once

#include "ports/ByteChannel.h"
#include "ports/PeripheralBackend.h"
#include "base/Bytes.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace sorvane::phone {

struct ReadResult {
    AttResult result = AttResult::unlikelyError;
    Bytes value; // at most maxReadLength() bytes
};

class CentralLink {
public:
    using NotificationHandler = std::function<void(const std::string& charUUID, Bytes value)>;

    virtual ~CentralLink() = default;

    // This central as the desktop names it in its events.
    virtual std::string centralID() const = 0;
    // The most bytes one read answer carries (ATT MTU - 1); longer values are
    // read piece by piece with offsets.
    virtual size_t maxReadLength() const = 0;

    // Absent when no answer came (no service, link gone, timeout).
    virtual std::optional<ReadResult> read(std::string_view charUUID, size_t offset) = 0;
    // A write with response. Absent when no answer came.
    virtual std::optional<AttResult> write(std::string_view charUUID, ByteView value) = 0;
    virtual bool subscribe(std::string_view charUUID) = 0;
    virtual bool unsubscribe(std::string_view charUUID) = 0;
    virtual void setNotificationHandler(NotificationHandler handler) = 0;

    // Opens the desktop's L2CAP channel; null when it cannot be opened.
    virtual std::shared_ptr<ByteChannel> openL2CAP(uint16_t psm) = 0;
    // Leaves: every subscription ends and open channels close.
    virtual void disconnect() = 0;
};

} // namespace sorvane::phone
