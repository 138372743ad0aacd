// DataControlProtocol: the two data-control protocols a compositor may offer,
// ext-data-control-v1 and zwlr_data_control_manager_v1, behind one set of
// requests. Both carry the same messages in the same order with the same
// arguments (DataControlProtocol.cpp checks it against the generated bindings
// at compile time), so one proxy-level implementation drives either; only the
// interfaces given to new objects differ.
//
// Thread-safety: the descriptions are constant. The requests are as
// thread-safe as libwayland's proxies: any thread, as long as the proxy is not
// destroyed meanwhile.
#pragma once

#include <wayland-client-core.h>

#include <cstdint>
#include <string_view>

struct wl_seat;

namespace sorvane::wayland {

struct DataControlProtocol {
    // As this program names it in its log and to its callers.
    const char* name;
    // The manager's global interface name in the registry.
    const char* global;
    const wl_interface* manager;
    const wl_interface* device;
    const wl_interface* source;
    const wl_interface* offer;
    // The newest manager version this program speaks.
    uint32_t version;
};

// ext-data-control-v1 (KDE Plasma 6, current wlroots) and
// zwlr_data_control_manager_v1 (sway 1.7, older wlroots and KDE).
extern const DataControlProtocol kExtDataControl;
extern const DataControlProtocol kWlrDataControl;
// The protocol whose manager is called `global`, or null.
const DataControlProtocol* dataControlByGlobal(std::string_view global);

// Events of a data-control device, in the protocol's order; `data` is what
// was given to addDeviceListener.
struct DataControlDeviceListener {
    void (*dataOffer)(void* data, wl_proxy* device, wl_proxy* offer);
    void (*selection)(void* data, wl_proxy* device, wl_proxy* offer);
    void (*finished)(void* data, wl_proxy* device);
    void (*primarySelection)(void* data, wl_proxy* device, wl_proxy* offer);
};
struct DataControlSourceListener {
    void (*send)(void* data, wl_proxy* source, const char* mimeType, int32_t fd);
    void (*cancelled)(void* data, wl_proxy* source);
};
struct DataControlOfferListener {
    void (*offer)(void* data, wl_proxy* offer, const char* mimeType);
};

void addDeviceListener(wl_proxy* device, const DataControlDeviceListener& listener, void* data);
void addSourceListener(wl_proxy* source, const DataControlSourceListener& listener, void* data);
void addOfferListener(wl_proxy* offer, const DataControlOfferListener& listener, void* data);

// Requests. Each new object lives on the queue of the proxy that made it.
wl_proxy* getDataDevice(const DataControlProtocol& protocol, wl_proxy* manager, wl_seat* seat);
wl_proxy* createDataSource(const DataControlProtocol& protocol, wl_proxy* manager);
void offerMimeType(wl_proxy* source, const char* mimeType);
void setSelection(wl_proxy* device, wl_proxy* source);
// Asks the offer's owner to write the data as `mimeType` into `fd` (which the
// call does not close) and close it.
void receive(wl_proxy* offer, const char* mimeType, int fd);
// The destructor requests of the four interfaces; the proxy is gone afterwards.
void destroyManager(wl_proxy* manager);
void destroyDevice(wl_proxy* device);
void destroySource(wl_proxy* source);
void destroyOffer(wl_proxy* offer);

} // namespace sorvane::wayland
