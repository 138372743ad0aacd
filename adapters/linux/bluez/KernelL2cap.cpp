#include "adapters/linux/bluez/KernelL2cap.h"

#include <endian.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace sorvane {
namespace {

// The kernel's Bluetooth socket ABI (include/net/bluetooth/bluetooth.h, l2cap.h).
constexpr int kAfBluetooth = 31;
constexpr int kBtProtoL2cap = 0;
constexpr int kSolBluetooth = 274;
constexpr int kBtSecurity = 4;
constexpr uint8_t kBtSecurityLow = 1;
constexpr uint8_t kBtSecurityMedium = 2;
constexpr int kBtSndMtu = 12;
constexpr int kBtRcvMtu = 13;
constexpr uint8_t kBdaddrLePublic = 0x01;

struct BtSecurity {
    uint8_t level;
    uint8_t keySize;
};

// struct sockaddr_l2; the PSM and CID are little-endian.
struct SockaddrL2 {
    sa_family_t family;
    uint16_t psm;
    uint8_t bdaddr[6];
    uint16_t cid;
    uint8_t bdaddrType;
};
static_assert(offsetof(SockaddrL2, psm) == 2);
static_assert(offsetof(SockaddrL2, bdaddr) == 4);
static_assert(offsetof(SockaddrL2, cid) == 10);
static_assert(offsetof(SockaddrL2, bdaddrType) == 12);
static_assert(sizeof(SockaddrL2) == 14);

std::string describeErrno(const char* step, int error) {
    return std::string(step) + ": " + std::strerror(error);
}

L2capServerResult failure(std::string text) {
    L2capServerResult result;
    result.error = std::move(text);
    return result;
}

} // namespace

L2capServerResult openKernelL2capServer(bool encrypted) {
    UniqueFd fd(::socket(kAfBluetooth, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, kBtProtoL2cap));
    if (!fd.valid()) {
        const int error = errno;
        if (error == EAFNOSUPPORT || error == EPROTONOSUPPORT)
            return failure("this system has no Bluetooth L2CAP sockets (" +
                           describeErrno("socket(AF_BLUETOOTH)", error) + ")");
        return failure(describeErrno("socket(AF_BLUETOOTH, SOCK_SEQPACKET, BTPROTO_L2CAP)", error));
    }

    const BtSecurity security{encrypted ? kBtSecurityMedium : kBtSecurityLow, 0};
    if (::setsockopt(fd.get(), kSolBluetooth, kBtSecurity, &security, sizeof security) != 0)
        return failure(describeErrno("setting the security level", errno));

    SockaddrL2 address{};
    address.family = kAfBluetooth;
    address.psm = htole16(0); // the kernel picks a free dynamic LE PSM
    address.bdaddrType = kBdaddrLePublic;
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return failure(describeErrno("bind", errno));

    // The receive MTU can only be set once the socket knows it is an LE socket
    // (after bind) and before it is connected.
    const uint16_t receiveMTU = static_cast<uint16_t>(kL2capReceiveMTU);
    bool raisedMTU =
        ::setsockopt(fd.get(), kSolBluetooth, kBtRcvMtu, &receiveMTU, sizeof receiveMTU) == 0;

    if (::listen(fd.get(), 4) != 0)
        return failure(describeErrno("listen", errno));

    SockaddrL2 bound{};
    socklen_t length = sizeof bound;
    if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0)
        return failure(describeErrno("getsockname", errno));
    const uint16_t psm = le16toh(bound.psm);
    if (psm == 0)
        return failure("the kernel assigned no PSM");

    L2capServerResult result;
    result.server.socket = std::move(fd);
    result.server.psm = psm;
    // Without the raised MTU the kernel's default (672) is what the phone sees.
    result.server.fallbackReceiveMTU = raisedMTU ? kL2capReceiveMTU : 672;
    return result;
}

std::optional<L2capChannelMTUs> readL2capChannelMTUs(int fd) {
    uint16_t send = 0;
    uint16_t receive = 0;
    socklen_t length = sizeof send;
    if (::getsockopt(fd, kSolBluetooth, kBtSndMtu, &send, &length) != 0 || length != sizeof send)
        return std::nullopt;
    length = sizeof receive;
    if (::getsockopt(fd, kSolBluetooth, kBtRcvMtu, &receive, &length) != 0 ||
        length != sizeof receive)
        return std::nullopt;
    if (send == 0 || receive == 0)
        return std::nullopt;
    return L2capChannelMTUs{send, receive};
}

} // namespace sorvane
