#include "adapters/linux/wayland/WlrootsAutoPasteDesktop.h"

#include "base/Log.h"

#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-foreign-toplevel-management-unstable-v1-client-protocol.h"

#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <linux/input-event-codes.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace sorvane::wayland {
namespace {

using Clock = std::chrono::steady_clock;

// One toplevel window of another client, as of its last "done".
struct Toplevel {
    zwlr_foreign_toplevel_handle_v1* handle = nullptr;
    uint64_t id = 0; // ours, never reused
    std::string appId, pendingAppId;
    bool activated = false, pendingActivated = false;
};

// The keymap the virtual keyboard types with, and the codes it needs.
// (In a US layout, KEY_LEFTCTRL and KEY_V type Control and v.)
struct Keymap {
    std::string text;
    uint32_t controlMask = 0;
};

std::optional<Keymap> makeUsKeymap() {
    xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
    if (!context)
        return std::nullopt;
    const xkb_rule_names names{"evdev", "pc105", "us", "", ""};
    xkb_keymap* keymap = xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
    Keymap made;
    if (keymap) {
        if (char* text = xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1)) {
            made.text = text;
            std::free(text);
        }
        const xkb_mod_index_t control = xkb_keymap_mod_get_index(keymap, XKB_MOD_NAME_CTRL);
        if (control != XKB_MOD_INVALID)
            made.controlMask = 1u << control;
        xkb_keymap_unref(keymap);
    }
    xkb_context_unref(context);
    if (made.text.empty() || made.controlMask == 0)
        return std::nullopt;
    return made;
}

} // namespace

struct WlrootsAutoPasteDesktop::State {
    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    wl_seat* seat = nullptr;
    zwp_virtual_keyboard_manager_v1* keyboards = nullptr;
    zwlr_foreign_toplevel_manager_v1* toplevelManager = nullptr;
    zwp_virtual_keyboard_v1* keyboard = nullptr;
    // The Control modifier's bit in the keyboard's keymap.
    uint32_t controlMask = 0;
    std::vector<std::unique_ptr<Toplevel>> toplevels;
    uint64_t nextId = 1;
    bool lostLogged = false;
    bool keymapFailureLogged = false;

    ~State() {
        for (auto& toplevel : toplevels)
            zwlr_foreign_toplevel_handle_v1_destroy(toplevel->handle);
        if (keyboard)
            zwp_virtual_keyboard_v1_destroy(keyboard);
        if (toplevelManager)
            zwlr_foreign_toplevel_manager_v1_destroy(toplevelManager);
        if (keyboards)
            zwp_virtual_keyboard_manager_v1_destroy(keyboards);
        if (seat)
            wl_seat_destroy(seat);
        if (registry)
            wl_registry_destroy(registry);
        if (display)
            wl_display_disconnect(display);
    }

    bool usable() {
        if (wl_display_get_error(display) == 0)
            return true;
        if (!lostLogged) {
            lostLogged = true;
            logLine("Sorvane: lost the connection to the Wayland compositor \u2014 auto-paste is off");
        }
        return false;
    }

    // Reads and handles what the compositor sent until `deadline`, or only
    // what has already arrived when the deadline has passed. False once the
    // connection is broken.
    bool readEvents(Clock::time_point deadline) {
        if (!usable())
            return false;
        while (wl_display_prepare_read(display) != 0)
            wl_display_dispatch_pending(display);
        wl_display_flush(display);
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd fd{wl_display_get_fd(display), POLLIN, 0};
        const int ready = ::poll(&fd, 1, static_cast<int>(std::max<int64_t>(0, left.count())));
        if (ready > 0)
            wl_display_read_events(display);
        else
            wl_display_cancel_read(display);
        wl_display_dispatch_pending(display);
        return usable();
    }

    void pump() { readEvents(Clock::now()); }

    // Our virtual keyboard, made when the first paste activates its target
    // (compiling the keymap would cost every start-up some milliseconds; made
    // with the keystroke itself, the compositor may not have handed the new
    // keymap on before the keys). False, logged once, when it cannot be made.
    bool makeKeyboard(std::chrono::milliseconds wait) {
        if (keyboard)
            return true;
        const auto keymap = makeUsKeymap();
        const int fd = keymap ? ::memfd_create("sorvane-keymap", MFD_CLOEXEC) : -1;
        const size_t size = keymap ? keymap->text.size() + 1 : 0;
        if (fd >= 0 && ::write(fd, keymap->text.c_str(), size) == static_cast<ssize_t>(size)) {
            keyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(keyboards, seat);
            zwp_virtual_keyboard_v1_keymap(keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                           static_cast<uint32_t>(size));
            controlMask = keymap->controlMask;
        }
        if (fd >= 0)
            ::close(fd);
        if (!keyboard) {
            if (!keymapFailureLogged)
                logLine("Sorvane: could not make a keymap for the paste keystroke \u2014 auto-paste is off");
            keymapFailureLogged = true;
            return false;
        }
        return roundtrip(wait);
    }

    // Sends what is queued and waits for the compositor to have handled it.
    bool roundtrip(std::chrono::milliseconds timeout) {
        if (!usable())
            return false;
        bool done = false;
        static const wl_callback_listener listener{
            [](void* data, wl_callback*, uint32_t) { *static_cast<bool*>(data) = true; }};
        wl_callback* callback = wl_display_sync(display);
        wl_callback_add_listener(callback, &listener, &done);
        const auto deadline = Clock::now() + timeout;
        while (!done && Clock::now() < deadline && readEvents(deadline)) {
        }
        wl_callback_destroy(callback);
        return done;
    }

    Toplevel* find(uint64_t id) {
        for (auto& toplevel : toplevels)
            if (toplevel->id == id)
                return toplevel.get();
        return nullptr;
    }

    Toplevel* front() {
        for (auto& toplevel : toplevels)
            if (toplevel->activated)
                return toplevel.get();
        return nullptr;
    }

    static const wl_registry_listener registryListener;
    static const zwlr_foreign_toplevel_manager_v1_listener managerListener;
    static const zwlr_foreign_toplevel_handle_v1_listener handleListener;
};

const wl_registry_listener WlrootsAutoPasteDesktop::State::registryListener{
    [](void* data, wl_registry* globals, uint32_t name, const char* interface, uint32_t version) {
        auto* state = static_cast<State*>(data);
        const std::string_view which = interface;
        if (which == wl_seat_interface.name && !state->seat)
            state->seat = static_cast<wl_seat*>(wl_registry_bind(globals, name, &wl_seat_interface, 1));
        else if (which == zwp_virtual_keyboard_manager_v1_interface.name)
            state->keyboards = static_cast<zwp_virtual_keyboard_manager_v1*>(
                wl_registry_bind(globals, name, &zwp_virtual_keyboard_manager_v1_interface, 1));
        else if (which == zwlr_foreign_toplevel_manager_v1_interface.name) {
            state->toplevelManager = static_cast<zwlr_foreign_toplevel_manager_v1*>(wl_registry_bind(
                globals, name, &zwlr_foreign_toplevel_manager_v1_interface, std::min(version, 3u)));
            zwlr_foreign_toplevel_manager_v1_add_listener(state->toplevelManager, &managerListener, state);
        }
    },
    [](void*, wl_registry*, uint32_t) {}};

const zwlr_foreign_toplevel_manager_v1_listener WlrootsAutoPasteDesktop::State::managerListener{
    [](void* data, zwlr_foreign_toplevel_manager_v1*, zwlr_foreign_toplevel_handle_v1* handle) {
        auto* state = static_cast<State*>(data);
        auto toplevel = std::make_unique<Toplevel>();
        toplevel->handle = handle;
        toplevel->id = state->nextId++;
        zwlr_foreign_toplevel_handle_v1_add_listener(handle, &handleListener, toplevel.get());
        state->toplevels.push_back(std::move(toplevel));
    },
    [](void* data, zwlr_foreign_toplevel_manager_v1* manager) {
        auto* state = static_cast<State*>(data);
        zwlr_foreign_toplevel_manager_v1_destroy(manager);
        state->toplevelManager = nullptr;
    }};

// A handle's user data is its Toplevel, owned by the State's list.
const zwlr_foreign_toplevel_handle_v1_listener WlrootsAutoPasteDesktop::State::handleListener{
    [](void*, zwlr_foreign_toplevel_handle_v1*, const char*) {},
    [](void* data, zwlr_foreign_toplevel_handle_v1*, const char* appId) {
        static_cast<Toplevel*>(data)->pendingAppId = appId ? appId : "";
    },
    [](void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {},
    [](void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {},
    [](void* data, zwlr_foreign_toplevel_handle_v1*, wl_array* states) {
        auto* toplevel = static_cast<Toplevel*>(data);
        toplevel->pendingActivated = false;
        const auto* begin = static_cast<const uint32_t*>(states->data);
        const auto* end = begin + states->size / sizeof(uint32_t);
        for (const uint32_t* s = begin; s != end; ++s)
            if (*s == ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_ACTIVATED)
                toplevel->pendingActivated = true;
    },
    [](void* data, zwlr_foreign_toplevel_handle_v1*) {
        auto* toplevel = static_cast<Toplevel*>(data);
        toplevel->appId = toplevel->pendingAppId;
        toplevel->activated = toplevel->pendingActivated;
    },
    [](void* data, zwlr_foreign_toplevel_handle_v1*) {
        // Closed: forgotten at the next look-up, which destroys the handle.
        auto* toplevel = static_cast<Toplevel*>(data);
        toplevel->id = 0;
        toplevel->activated = false;
    },
    [](void*, zwlr_foreign_toplevel_handle_v1*, zwlr_foreign_toplevel_handle_v1*) {}};

std::unique_ptr<WlrootsAutoPasteDesktop> WlrootsAutoPasteDesktop::open(const char* display, Options options) {
    auto state = std::make_unique<State>();
    state->display = wl_display_connect(display);
    if (!state->display) {
        logLine(std::string("Sorvane: cannot reach the Wayland compositor (") + std::strerror(errno) +
                ") \u2014 auto-paste is off");
        return nullptr;
    }
    state->registry = wl_display_get_registry(state->display);
    wl_registry_add_listener(state->registry, &State::registryListener, state.get());
    // The globals, then the toplevels the manager announces on binding.
    state->roundtrip(options.focusWait);
    state->roundtrip(options.focusWait);
    return std::unique_ptr<WlrootsAutoPasteDesktop>(new WlrootsAutoPasteDesktop(std::move(state), std::move(options)));
}

WlrootsAutoPasteDesktop::WlrootsAutoPasteDesktop(std::unique_ptr<State> state, Options options)
    : m_state(std::move(state)), m_options(std::move(options)) {}

WlrootsAutoPasteDesktop::~WlrootsAutoPasteDesktop() = default;

bool WlrootsAutoPasteDesktop::isTrusted(bool) {
    return m_state->keyboards && m_state->seat && m_state->toplevelManager && m_state->usable();
}

std::optional<RunningApplication> WlrootsAutoPasteDesktop::frontmostApplication() {
    m_state->pump();
    // Closed toplevels (id 0) go once the compositor has said so.
    auto& list = m_state->toplevels;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [](const std::unique_ptr<Toplevel>& t) {
                                  if (t->id != 0)
                                      return false;
                                  zwlr_foreign_toplevel_handle_v1_destroy(t->handle);
                                  return true;
                              }),
               list.end());
    const Toplevel* front = m_state->front();
    if (!front)
        return std::nullopt;
    RunningApplication app;
    app.window = front->id;
    if (!front->appId.empty())
        app.appIdentifier = front->appId;
    return app;
}

void WlrootsAutoPasteDesktop::hideThisApplication() {
    if (m_options.hideOwnWindows)
        m_options.hideOwnWindows();
}

void WlrootsAutoPasteDesktop::activate(const RunningApplication& app) {
    m_state->pump();
    Toplevel* toplevel = m_state->find(app.window);
    if (!toplevel || !m_state->seat || !m_state->usable())
        return;
    zwlr_foreign_toplevel_handle_v1_activate(toplevel->handle, m_state->seat);
    wl_display_flush(m_state->display);
    m_state->makeKeyboard(m_options.focusWait);
}

bool WlrootsAutoPasteDesktop::postPasteKeystroke(const RunningApplication& target) {
    if (!isTrusted(false) || target.window == 0)
        return false;
    // The keystroke goes wherever the focus is: wait for the target to have it.
    const auto deadline = Clock::now() + m_options.focusWait;
    for (;;) {
        m_state->pump();
        const Toplevel* toplevel = m_state->find(target.window);
        if (!toplevel)
            return false;
        if (toplevel->activated)
            break;
        if (Clock::now() >= deadline || !m_state->readEvents(deadline))
            return false;
    }
    if (!m_state->makeKeyboard(m_options.focusWait))
        return false;
    zwp_virtual_keyboard_v1* keyboard = m_state->keyboard;
    const uint32_t control = m_state->controlMask;
    const auto now = static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count());
    zwp_virtual_keyboard_v1_key(keyboard, now, KEY_LEFTCTRL, WL_KEYBOARD_KEY_STATE_PRESSED);
    zwp_virtual_keyboard_v1_modifiers(keyboard, control, 0, 0, 0);
    zwp_virtual_keyboard_v1_key(keyboard, now, KEY_V, WL_KEYBOARD_KEY_STATE_PRESSED);
    zwp_virtual_keyboard_v1_key(keyboard, now + 1, KEY_V, WL_KEYBOARD_KEY_STATE_RELEASED);
    zwp_virtual_keyboard_v1_key(keyboard, now + 1, KEY_LEFTCTRL, WL_KEYBOARD_KEY_STATE_RELEASED);
    zwp_virtual_keyboard_v1_modifiers(keyboard, 0, 0, 0, 0);
    return m_state->roundtrip(m_options.focusWait);
}

} // namespace sorvane::wayland
