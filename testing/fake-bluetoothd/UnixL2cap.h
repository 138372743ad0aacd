#pragma once

#include "adapters/linux/bluez/KernelL2cap.h"
#include "ports/ByteChannel.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

namespace sorvane::testing {

// A listening AF_UNIX SOCK_SEQPACKET socket in the abstract namespace stands in for
// the kernel's L2CAP socket; the fake's devices connect to it.
struct UnixL2cap {
    std::string name = "sorvane-l2cap-test-" + std::to_string(::getpid()) + "-" +
                       std::to_string(reinterpret_cast<uintptr_t>(this));
    uint16_t psm = 0x0081;

    sockaddr_un address(socklen_t& length) const {
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::memcpy(a.sun_path + 1, name.data(), name.size());
        length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
        return a;
    }
    L2capServerOpener opener() {
        return [this](bool) {
            L2capServerResult result;
            UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
            socklen_t length = 0;
            const sockaddr_un a = address(length);
            if (!fd.valid() || ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&a), length) != 0 ||
                ::listen(fd.get(), 4) != 0) {
                result.error = std::string("unix listener: ") + std::strerror(errno);
                return result;
            }
            result.server.socket = std::move(fd);
            result.server.psm = psm;
            result.server.fallbackSendMTU = 64;
            result.server.fallbackReceiveMTU = 64;
            return result;
        };
    }
    std::function<std::shared_ptr<ByteChannel>(uint16_t)> connector() {
        return [this](uint16_t asked) -> std::shared_ptr<ByteChannel> {
            if (asked != psm)
                return nullptr;
            UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
            socklen_t length = 0;
            const sockaddr_un a = address(length);
            if (!fd.valid() || ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&a), length) != 0)
                return nullptr;
            return std::make_shared<ByteChannel>(std::move(fd), 64, 64);
        };
    }
};

} // namespace sorvane::testing
