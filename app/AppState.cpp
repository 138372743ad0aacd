#include "app/AppState.h"

#include "base/Hex.h"
#include "protocol/MessageCodec.h"

namespace sorvane {

Bytes AppState::buildDeviceInfo(const std::string& displayName) const {
    return sorvane::buildDeviceInfo(identity->signingKey.publicKey().raw(), identity->deviceID,
                                    displayName);
}

std::string AppState::advertisedLocalName() const {
    return "Sorvane-" + Hex::encode(ByteView(identity->deviceID).first(4));
}

} // namespace sorvane
