// BluezL2capPublisher: the backend's L2CAP channel. publish() opens a listening
// socket (KernelL2cap.h, or the opener given in the options) and accepts on it
// with an L2capListener; every accepted connection is handed to the delegate as a
// ByteChannel (didOpenL2CAPChannel). The outcome of publish() is
// didPublishL2CAPChannel: the PSM, or why there is none (where the kernel has no
// Bluetooth sockets GATT then carries everything). Publishing again while
// listening reports the same PSM.
//
// Thread safety: publish() and destruction on the peripheral's queue; accepted
// connections arrive on the listener's thread and are posted. Destruction stops
// the listener (no connection is handed over afterwards) and closes the socket.
#pragma once

#include "adapters/linux/bluez/BluezQueue.h"
#include "adapters/linux/bluez/KernelL2cap.h"
#include "adapters/linux/bluez/L2capListener.h"

#include <cstdint>
#include <memory>

namespace sorvane {

class BluezL2capPublisher {
public:
    // An empty `open` means openKernelL2capServer.
    BluezL2capPublisher(const BluezQueue& queue, L2capServerOpener open);
    BluezL2capPublisher(const BluezL2capPublisher&) = delete;
    BluezL2capPublisher& operator=(const BluezL2capPublisher&) = delete;

    void publish(bool withEncryption);

private:
    void accepted(UniqueFd socket, size_t fallbackSend, size_t fallbackReceive);

    const BluezQueue& m_queue;
    const L2capServerOpener m_open;
    uint16_t m_psm = 0;
    std::unique_ptr<L2capListener> m_listener; // last: stopped first
};

} // namespace sorvane
