// An open L2CAP connection-oriented channel: a connected SOCK_SEQPACKET socket
// (a kernel L2CAP LE credit-based socket, or one end of an AF_UNIX socketpair in
// the simulated radio) presented as a byte stream with an input and an output side.
//
// The socket carries SDUs: one send is one SDU of at most `sendMTU` bytes, one
// receive returns one whole SDU of at most `receiveMTU` bytes. write() cuts a
// packet into SDUs; read() hands out the bytes of the received SDUs in pieces
// of any size, so a reader asking for fewer bytes than an SDU holds loses nothing.
// An SDU longer than `receiveMTU` is a protocol fault and fails the read.
//
// Thread safety: the input side (hasBytesAvailable, read) belongs to one reader
// thread. write() may be called from any thread; concurrent writes are serialised
// so that the SDUs of two packets never interleave. shutdown() and the status
// getters may be called from any thread. The descriptor is closed when the
// ByteChannel is destroyed, which must not happen while another thread uses it
// (share it through std::shared_ptr).
#pragma once

#include "base/ThreadSafety.h"
#include "base/UniqueFd.h"
#include "base/Bytes.h"

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>

namespace sorvane {

class ByteChannel {
public:
    // Stream status numbers, as the stream status of the platform's streams.
    enum class Status : int {
        notOpen = 0,
        opening = 1,
        open = 2,
        reading = 3,
        writing = 4,
        atEnd = 5,
        closed = 6,
        error = 7,
    };

    // Takes a connected SOCK_SEQPACKET socket. MTUs of 0 are raised to 1. A send
    // that makes no progress for `sendStallTimeout` fails (zero means wait forever).
    ByteChannel(UniqueFd socket, size_t sendMTU, size_t receiveMTU,
                std::chrono::milliseconds sendStallTimeout = std::chrono::seconds(10));
    ~ByteChannel();
    ByteChannel(const ByteChannel&) = delete;
    ByteChannel& operator=(const ByteChannel&) = delete;

    int fd() const { return m_socket.get(); }
    size_t sendMTU() const { return m_sendMTU; }
    size_t receiveMTU() const { return m_receiveMTU; }

    // True when read() would return without waiting: bytes of an SDU are held,
    // an SDU is waiting, or the stream has ended or failed.
    bool hasBytesAvailable();
    // Moves up to `maxLength` bytes into `buffer`. Returns the number of bytes,
    // 0 at the end of the stream, or -1 on an error (errno says which; EAGAIN when
    // nothing was available). Never waits.
    ssize_t read(uint8_t* buffer, size_t maxLength);

    // Writes the whole packet as SDUs of at most sendMTU bytes, waiting for room.
    // Returns the number of bytes the socket accepted (the packet's size when all
    // of it went out), or -1 when the first SDU failed. A shorter result means the
    // stream is broken: the peer has seen part of the packet.
    ssize_t write(ByteView packet) SORVANE_EXCLUDES(m_writeMutex);

    // Shuts the socket down in both directions: blocked writes and reads return,
    // later ones fail. The descriptor stays open until destruction. Idempotent.
    void shutdown();

    Status inputStatus() const { return m_inputStatus.load(); }
    Status outputStatus() const { return m_outputStatus.load(); }

private:
    UniqueFd m_socket;
    const size_t m_sendMTU;
    const size_t m_receiveMTU;

    // Input side, owned by the reader thread.
    Bytes m_sdu;
    size_t m_sduPos = 0;
    size_t m_sduEnd = 0;

    Mutex m_writeMutex;
    std::atomic<bool> m_shutDown{false};
    std::atomic<Status> m_inputStatus{Status::open};
    std::atomic<Status> m_outputStatus{Status::open};
};

} // namespace sorvane
