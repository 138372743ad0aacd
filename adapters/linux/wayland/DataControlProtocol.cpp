#include "adapters/linux/wayland/DataControlProtocol.h"

#include "ext-data-control-v1-client-protocol.h"
#include "wlr-data-control-unstable-v1-client-protocol.h"

namespace sorvane::wayland {
namespace {

// The proxy-level requests below rely on the two protocols agreeing message by
// message; the generated opcodes say whether they do.
#define SORVANE_SAME_OPCODE(EXT, WLR)                                                      \
    static_assert(EXT_DATA_CONTROL_##EXT == ZWLR_DATA_CONTROL_##WLR,                       \
                  "ext and wlr data-control disagree on " #EXT)
SORVANE_SAME_OPCODE(MANAGER_V1_CREATE_DATA_SOURCE, MANAGER_V1_CREATE_DATA_SOURCE);
SORVANE_SAME_OPCODE(MANAGER_V1_GET_DATA_DEVICE, MANAGER_V1_GET_DATA_DEVICE);
SORVANE_SAME_OPCODE(MANAGER_V1_DESTROY, MANAGER_V1_DESTROY);
SORVANE_SAME_OPCODE(DEVICE_V1_SET_SELECTION, DEVICE_V1_SET_SELECTION);
SORVANE_SAME_OPCODE(DEVICE_V1_DESTROY, DEVICE_V1_DESTROY);
SORVANE_SAME_OPCODE(SOURCE_V1_OFFER, SOURCE_V1_OFFER);
SORVANE_SAME_OPCODE(SOURCE_V1_DESTROY, SOURCE_V1_DESTROY);
SORVANE_SAME_OPCODE(OFFER_V1_RECEIVE, OFFER_V1_RECEIVE);
SORVANE_SAME_OPCODE(OFFER_V1_DESTROY, OFFER_V1_DESTROY);
#undef SORVANE_SAME_OPCODE

// The listeners' layouts must match the generated ones, entry for entry.
static_assert(sizeof(DataControlDeviceListener) == sizeof(ext_data_control_device_v1_listener));
static_assert(sizeof(DataControlDeviceListener) == sizeof(zwlr_data_control_device_v1_listener));
static_assert(sizeof(DataControlSourceListener) == sizeof(ext_data_control_source_v1_listener));
static_assert(sizeof(DataControlSourceListener) == sizeof(zwlr_data_control_source_v1_listener));
static_assert(sizeof(DataControlOfferListener) == sizeof(ext_data_control_offer_v1_listener));
static_assert(sizeof(DataControlOfferListener) == sizeof(zwlr_data_control_offer_v1_listener));

using Implementation = void (**)(void);

template <class Listener>
void addListener(wl_proxy* proxy, const Listener& listener, void* data) {
    // libwayland calls the entries through the interface's signatures.
    wl_proxy_add_listener(proxy,
                          reinterpret_cast<Implementation>(const_cast<Listener*>(&listener)),
                          data);
}

void destroy(wl_proxy* proxy, uint32_t opcode) {
    wl_proxy_marshal_flags(proxy, opcode, nullptr, wl_proxy_get_version(proxy),
                           WL_MARSHAL_FLAG_DESTROY);
}

} // namespace

const DataControlProtocol kExtDataControl{
    "ext-data-control-v1",
    "ext_data_control_manager_v1",
    &ext_data_control_manager_v1_interface,
    &ext_data_control_device_v1_interface,
    &ext_data_control_source_v1_interface,
    &ext_data_control_offer_v1_interface,
    1,
};

const DataControlProtocol kWlrDataControl{
    "zwlr_data_control_manager_v1",
    "zwlr_data_control_manager_v1",
    &zwlr_data_control_manager_v1_interface,
    &zwlr_data_control_device_v1_interface,
    &zwlr_data_control_source_v1_interface,
    &zwlr_data_control_offer_v1_interface,
    2,
};

const DataControlProtocol* dataControlByGlobal(std::string_view global) {
    for (const DataControlProtocol* protocol : {&kExtDataControl, &kWlrDataControl})
        if (global == protocol->global)
            return protocol;
    return nullptr;
}

void addDeviceListener(wl_proxy* device, const DataControlDeviceListener& listener, void* data) {
    addListener(device, listener, data);
}
void addSourceListener(wl_proxy* source, const DataControlSourceListener& listener, void* data) {
    addListener(source, listener, data);
}
void addOfferListener(wl_proxy* offer, const DataControlOfferListener& listener, void* data) {
    addListener(offer, listener, data);
}

wl_proxy* getDataDevice(const DataControlProtocol& protocol, wl_proxy* manager, wl_seat* seat) {
    return wl_proxy_marshal_flags(manager, EXT_DATA_CONTROL_MANAGER_V1_GET_DATA_DEVICE,
                                  protocol.device, wl_proxy_get_version(manager), 0, nullptr,
                                  seat);
}

wl_proxy* createDataSource(const DataControlProtocol& protocol, wl_proxy* manager) {
    return wl_proxy_marshal_flags(manager, EXT_DATA_CONTROL_MANAGER_V1_CREATE_DATA_SOURCE,
                                  protocol.source, wl_proxy_get_version(manager), 0, nullptr);
}

void offerMimeType(wl_proxy* source, const char* mimeType) {
    wl_proxy_marshal_flags(source, EXT_DATA_CONTROL_SOURCE_V1_OFFER, nullptr,
                           wl_proxy_get_version(source), 0, mimeType);
}

void setSelection(wl_proxy* device, wl_proxy* source) {
    wl_proxy_marshal_flags(device, EXT_DATA_CONTROL_DEVICE_V1_SET_SELECTION, nullptr,
                           wl_proxy_get_version(device), 0, source);
}

void receive(wl_proxy* offer, const char* mimeType, int fd) {
    wl_proxy_marshal_flags(offer, EXT_DATA_CONTROL_OFFER_V1_RECEIVE, nullptr,
                           wl_proxy_get_version(offer), 0, mimeType, fd);
}

void destroyManager(wl_proxy* manager) {
    destroy(manager, EXT_DATA_CONTROL_MANAGER_V1_DESTROY);
}
void destroyDevice(wl_proxy* device) {
    destroy(device, EXT_DATA_CONTROL_DEVICE_V1_DESTROY);
}
void destroySource(wl_proxy* source) {
    destroy(source, EXT_DATA_CONTROL_SOURCE_V1_DESTROY);
}
void destroyOffer(wl_proxy* offer) {
    destroy(offer, EXT_DATA_CONTROL_OFFER_V1_DESTROY);
}

} // namespace sorvane::wayland
