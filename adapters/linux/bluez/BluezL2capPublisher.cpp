#include "adapters/linux/bluez/BluezL2capPublisher.h"

#include <exception>

namespace sorvane {

BluezL2capPublisher::BluezL2capPublisher(const BluezQueue& queue, L2capServerOpener open)
    : m_queue(queue), m_open(std::move(open)) {}

void BluezL2capPublisher::publish(bool withEncryption) {
    if (m_listener) {
        // Still listening from an earlier publication: same channel, same PSM.
        m_queue.deliver([psm = m_psm](PeripheralManagerDelegate& d) { d.didPublishL2CAPChannel(psm, std::nullopt); });
        return;
    }
    L2capServerResult opened;
    try {
        opened = m_open ? m_open(withEncryption) : openKernelL2capServer(withEncryption);
    } catch (const std::exception& e) {
        opened.error = e.what();
    }
    if (opened.error.empty() && !opened.server.socket.valid())
        opened.error = "no listening socket";
    if (!opened.error.empty()) {
        m_queue.deliver([error = opened.error](PeripheralManagerDelegate& d) {
            d.didPublishL2CAPChannel(0, error);
        });
        return;
    }
    const uint16_t psm = opened.server.psm;
    try {
        m_listener = std::make_unique<L2capListener>(
            std::move(opened.server.socket),
            [this, send = opened.server.fallbackSendMTU,
             receive = opened.server.fallbackReceiveMTU](UniqueFd socket) {
                accepted(std::move(socket), send, receive);
            });
    } catch (const std::exception& e) {
        m_queue.deliver([error = std::string(e.what())](PeripheralManagerDelegate& d) {
            d.didPublishL2CAPChannel(0, error);
        });
        return;
    }
    m_psm = psm;
    m_queue.deliver([psm](PeripheralManagerDelegate& d) { d.didPublishL2CAPChannel(psm, std::nullopt); });
}

void BluezL2capPublisher::accepted(UniqueFd socket, size_t fallbackSend, size_t fallbackReceive) {
    // On the listener's thread.
    const auto mtus = readL2capChannelMTUs(socket.get());
    auto channel = std::make_shared<ByteChannel>(std::move(socket), mtus ? mtus->send : fallbackSend,
                                                 mtus ? mtus->receive : fallbackReceive);
    m_queue.deliver([channel](PeripheralManagerDelegate& d) { d.didOpenL2CAPChannel(channel, std::nullopt); });
}

} // namespace sorvane
