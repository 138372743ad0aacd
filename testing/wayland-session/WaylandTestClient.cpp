// A data-control client that owns the clipboard of a Wayland session the way
// a program might, for tests:
//
//   sorvane-wayland-test-client own --type T [--type T...] --text X
//                               [--hang | --stall-after N]
//
// offers `text` as each type (in the order given), prints OWNED once the
// compositor has made it the selection, and serves every request until
// another owner replaces it (then prints CANCELLED and exits). With --hang it
// takes each request's pipe and never writes to it or closes it; with
// --stall-after it writes the first N bytes and then holds the pipe open.
// WAYLAND_DISPLAY names the session.
#include "wlr-data-control-unstable-v1-client-protocol.h"

#include <wayland-client.h>

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Client {
    wl_seat* seat = nullptr;
    zwlr_data_control_manager_v1* manager = nullptr;
    std::string text;
    bool hang = false;
    size_t stallAfter = std::string::npos;
    bool cancelled = false;
    std::vector<int> held;
};

void onGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface,
              uint32_t) {
    auto* client = static_cast<Client*>(data);
    if (std::strcmp(interface, wl_seat_interface.name) == 0 && !client->seat)
        client->seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    else if (std::strcmp(interface, zwlr_data_control_manager_v1_interface.name) == 0)
        client->manager = static_cast<zwlr_data_control_manager_v1*>(
            wl_registry_bind(registry, name, &zwlr_data_control_manager_v1_interface, 1));
}

void onGlobalRemove(void*, wl_registry*, uint32_t) {}

void onSend(void* data, zwlr_data_control_source_v1*, const char*, int32_t fd) {
    auto* client = static_cast<Client*>(data);
    if (client->hang) {
        client->held.push_back(fd);
        return;
    }
    const size_t size = std::min(client->stallAfter, client->text.size());
    size_t sent = 0;
    while (sent < size) {
        const ssize_t n = write(fd, client->text.data() + sent, size - sent);
        if (n <= 0)
            break;
        sent += size_t(n);
    }
    if (size < client->text.size())
        client->held.push_back(fd);
    else
        close(fd);
}

void onCancelled(void* data, zwlr_data_control_source_v1*) {
    static_cast<Client*>(data)->cancelled = true;
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    if (argc < 2 || std::strcmp(argv[1], "own") != 0) {
        std::fprintf(stderr, "usage: %s own --type T [--type T...] --text X [--hang]\n", argv[0]);
        return 2;
    }
    Client client;
    std::vector<std::string> types;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--type" && i + 1 < argc)
            types.emplace_back(argv[++i]);
        else if (arg == "--text" && i + 1 < argc)
            client.text = argv[++i];
        else if (arg == "--hang")
            client.hang = true;
        else if (arg == "--stall-after" && i + 1 < argc)
            client.stallAfter = std::stoul(argv[++i]);
    }
    wl_display* display = wl_display_connect(nullptr);
    if (!display) {
        std::fprintf(stderr, "cannot connect to the Wayland display\n");
        return 1;
    }
    wl_registry* registry = wl_display_get_registry(display);
    const wl_registry_listener registryListener{onGlobal, onGlobalRemove};
    wl_registry_add_listener(registry, &registryListener, &client);
    wl_display_roundtrip(display);
    if (!client.seat || !client.manager) {
        std::fprintf(stderr, "no seat or no zwlr_data_control_manager_v1\n");
        return 1;
    }
    zwlr_data_control_device_v1* device =
        zwlr_data_control_manager_v1_get_data_device(client.manager, client.seat);
    zwlr_data_control_source_v1* source =
        zwlr_data_control_manager_v1_create_data_source(client.manager);
    const zwlr_data_control_source_v1_listener sourceListener{onSend, onCancelled};
    zwlr_data_control_source_v1_add_listener(source, &sourceListener, &client);
    for (const std::string& type : types)
        zwlr_data_control_source_v1_offer(source, type.c_str());
    zwlr_data_control_device_v1_set_selection(device, source);
    wl_display_roundtrip(display);
    std::printf("OWNED\n");
    std::fflush(stdout);
    while (!client.cancelled && wl_display_dispatch(display) >= 0) {
    }
    std::printf("CANCELLED\n");
    std::fflush(stdout);
    zwlr_data_control_source_v1_destroy(source);
    zwlr_data_control_device_v1_destroy(device);
    wl_display_disconnect(display);
    return 0;
}
