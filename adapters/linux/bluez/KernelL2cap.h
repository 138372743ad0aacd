// The kernel's Bluetooth LE L2CAP connection-oriented channels (LE credit-based
// flow control): opening a listening SOCK_SEQPACKET socket on a dynamic PSM and
// reading the MTUs of an accepted one.
//
// The few constants and structures of the kernel's Bluetooth socket ABI are
// defined in KernelL2cap.cpp by value (the ABI is stable), so the build needs no
// Bluetooth development headers.
//
// Thread safety: plain functions without shared state; call them from any thread.
#pragma once

#include "base/UniqueFd.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace sorvane {

// The receive MTU asked for on the listening socket: the largest SDU an LE
// credit-based channel can carry, so that the phone can send a whole packet per SDU.
inline constexpr size_t kL2capReceiveMTU = 65535;

// A listening socket and what the channels accepted on it carry.
struct L2capServer {
    UniqueFd socket; // listening and non-blocking; accepted sockets are blocking
    uint16_t psm = 0;
    // Used for an accepted socket whose own MTUs cannot be read.
    size_t fallbackSendMTU = 23;
    size_t fallbackReceiveMTU = kL2capReceiveMTU;
};

// Either a server or, when `error` is not empty, the reason there is none.
struct L2capServerResult {
    L2capServer server;
    std::string error;
};

// Opens the listening socket a peripheral publishes: socket(AF_BLUETOOTH,
// SOCK_SEQPACKET, BTPROTO_L2CAP), security low (medium when `encrypted`), bound to
// any local LE public address with PSM 0 so that the kernel picks a dynamic PSM
// (0x80-0xFF), receive MTU raised to kL2capReceiveMTU, listening. The error text
// says which step failed and why; where the kernel has no Bluetooth sockets
// (EAFNOSUPPORT) it says so plainly.
L2capServerResult openKernelL2capServer(bool encrypted);

// How a peripheral gets its listening socket; openKernelL2capServer by default.
using L2capServerOpener = std::function<L2capServerResult(bool encrypted)>;

struct L2capChannelMTUs {
    size_t send = 0;
    size_t receive = 0;
};

// The send and receive MTUs of a connected L2CAP socket (BT_SNDMTU, BT_RCVMTU);
// absent when the socket does not tell (not an L2CAP socket, or not connected).
std::optional<L2capChannelMTUs> readL2capChannelMTUs(int fd);

} // namespace sorvane
