#include "ble/L2CAPFraming.h"

#include <limits>

namespace sorvane {

std::optional<Bytes> buildL2CAPPacket(ByteView frame) {
    if (frame.size() > std::numeric_limits<uint32_t>::max())
        return std::nullopt;
    ByteWriter w(kL2CAPLengthPrefixSize + frame.size());
    w.u32BE(static_cast<uint32_t>(frame.size())).bytes(frame);
    return w.take();
}

L2CAPCut cutL2CAPFrames(Bytes& buffer, size_t maxFrameLength) {
    L2CAPCut cut;
    size_t consumed = 0;
    for (;;) {
        ByteReader r(ByteView(buffer).subspan(consumed));
        const auto length = r.readU32BE();
        if (!length)
            break;
        if (*length > maxFrameLength) {
            cut.oversizedLength = *length;
            break;
        }
        const auto frame = r.readBytes(*length);
        if (!frame)
            break;
        cut.frames.push_back(toBytes(*frame));
        consumed += r.position();
    }
    // One erase per call keeps many small frames in one read linear.
    buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(consumed));
    return cut;
}

} // namespace sorvane
