// The global shortcut: what a key typed into our windows records, and with
// --x11 the grab as another X client and the keyboard see it: held whatever the
// locks, one callback per press even held down, BadAccess leaving nothing
// grabbed when another client holds it, and rebinding moving the grab.
#include "adapters/qt/ui/HotKeyKeys.h"
#include "adapters/qt/ui/X11GlobalHotKey.h"
#include "store/UserDefaultsFile.h"
#include "testing/test-env/LogCapture.h"
#include "testing/test-env/TempDir.h"
#include "ui/HotKeyCombo.h"
#include "qtui/QtUiTestEnv.h"

#include <QAbstractNativeEventFilter>
#include <QApplication>
#include <QKeyEvent>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <xcb/xcb.h>

namespace {
constexpr QEvent::Type kKeyPressEvent = QEvent::KeyPress; // Xlib defines KeyPress as a macro
} // namespace

// After Qt: Xlib's macros clash with Qt's names.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace sorvane::testing {
namespace {

// Another X client on the test display: it grabs keys as a second program (or
// a window manager) would, and types through XTest as a user does.
class X11TestKeyboard {
public:
    // Not connected for an empty name (offscreen): never the user's own display.
    explicit X11TestKeyboard(const std::string& display)
        : m_display(display.empty() ? nullptr : XOpenDisplay(display.c_str())) {}
    ~X11TestKeyboard() {
        if (m_display)
            XCloseDisplay(m_display);
    }

    bool connected() const { return m_display != nullptr; }
    KeyCode keycode(KeySym sym) const { return XKeysymToKeycode(m_display, sym); }

    // Grabs `sym` with the X modifiers `mods` on the root window (and lets go again unless `keep`):
    // 0, or the X error code (BadAccess, 10, when another client holds it).
    int tryGrab(KeySym sym, unsigned mods, bool keep = false) {
        s_error = 0;
        XSync(m_display, False);
        const auto previous =
            XSetErrorHandler([](Display*, XErrorEvent* error) { return s_error = error->error_code; });
        XGrabKey(m_display, keycode(sym), mods, DefaultRootWindow(m_display), False, GrabModeAsync, GrabModeAsync);
        XSync(m_display, False);
        XSetErrorHandler(previous);
        if (s_error == 0 && !keep)
            ungrab(sym, mods);
        return s_error;
    }
    void ungrab(KeySym sym, unsigned mods) {
        XUngrabKey(m_display, keycode(sym), mods, DefaultRootWindow(m_display));
        XSync(m_display, False);
    }

    // Each key down in order, or up in reverse order; a press 1 ms after what came before, as a hand types.
    void hold(const std::vector<KeySym>& keys, bool down) {
        for (size_t i = 0; i < keys.size(); ++i)
            XTestFakeKeyEvent(m_display, keycode(keys[down ? i : keys.size() - 1 - i]), down, down ? 1 : 0);
        XSync(m_display, False);
    }
    // The modifiers down, the key pressed and released, the modifiers up.
    void press(const std::vector<KeySym>& modifiers, KeySym sym) {
        hold(modifiers, true);
        hold({sym}, true);
        hold({sym}, false);
        hold(modifiers, false);
    }
    // The modifiers and locks in effect now.
    unsigned state() {
        XkbStateRec state{};
        XkbGetState(m_display, XkbUseCoreKbd, &state);
        return state.mods;
    }

private:
    static inline int s_error = 0;
    Display* m_display;
};

using Keys = std::pair<std::optional<uint32_t>, uint32_t>; // the stored key code and modifiers

// Beyond what the typing below shows: the keypad and group switch are no
// modifiers; the table's ends; keys outside it; a native keysym before Qt's key.
TEST(HotKeyKeys, QtKeysAndModifiersGiveTheStoredValues) {
    EXPECT_EQ(carbonModifiers(Qt::KeyboardModifierMask), 0x1b00u);
    const std::tuple<int, uint32_t, std::optional<uint32_t>> keys[] = { // {Qt key, native keysym or 0, stored}
        {Qt::Key_A, 0, 0}, {Qt::Key_Z, 0, 6}, {Qt::Key_0, 0, 29}, {Qt::Key_9, 0, 25}, {Qt::Key_F12, 0, 111},
        {Qt::Key_Escape, 0, {}}, {Qt::Key_Enter, 0, {}}, {Qt::Key_F13, 0, {}}, {Qt::Key_Shift, 0, {}},
        {Qt::Key_V, 'V', 9}, {Qt::Key_F1, 0xffbf /* F2 */, 120}, {Qt::Key_unknown, 0x6c1 /* Cyrillic */, {}}};
    for (const auto& [key, keysym, code] : keys)
        EXPECT_EQ(hotKeyCodeForKeyEvent(QKeyEvent(kKeyPressEvent, key, Qt::NoModifier, 0, keysym, 0)), code)
            << QKeySequence(key).toString().toStdString() << " keysym " << keysym;
}

// Keys typed into a window of ours, as the shortcut recorder reads them.
TEST(HotKeyKeys, KeysTypedIntoAWindowRecordWhatTheGrabUses) {
    struct Recorder : QWidget {
        std::optional<Keys> last;
        void keyPressEvent(QKeyEvent* event) override {
            const QList<int> modifiers = {Qt::Key_Shift, Qt::Key_Control, Qt::Key_Alt, Qt::Key_Meta, Qt::Key_Super_L};
            if (!modifiers.contains(event->key()))
                last = Keys(hotKeyCodeForKeyEvent(*event), carbonModifiers(event->modifiers()));
        }
    } window;
    window.resize(200, 100);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    X11TestKeyboard keyboard(gX11Display);
    ASSERT_EQ(keyboard.connected(), !gX11Display.empty());
    // {what the user holds and presses on X11, offscreen as Qt's key and modifiers, what is recorded}
    const std::tuple<std::vector<KeySym>, KeySym, Qt::Key, Qt::KeyboardModifiers, Keys> typed[] = {
        {{XK_Shift_L, XK_Super_L}, XK_v, Qt::Key_V, Qt::ShiftModifier | Qt::MetaModifier, {9, 0x0300}},
        {{XK_Control_L, XK_Alt_L}, XK_Return, Qt::Key_Return, Qt::ControlModifier | Qt::AltModifier, {36, 0x1800}},
        {{XK_Control_L}, XK_F1, Qt::Key_F1, Qt::ControlModifier, {122, 0x1000}},
        {{XK_Shift_L}, XK_Tab, Qt::Key_Backtab, Qt::ShiftModifier, {48, 0x0200}},
        {{XK_Control_L}, XK_space, Qt::Key_Space, Qt::ControlModifier, {49, 0x1000}},
        {{}, XK_7, Qt::Key_7, Qt::NoModifier, {26, 0}},
        {{XK_Shift_L}, XK_1, Qt::Key_Exclam, Qt::ShiftModifier, {std::nullopt, 0x0200}}}; // '!': not in the table
    for (const auto& [held, sym, key, modifiers, recorded] : typed) {
        window.last.reset();
        if (keyboard.connected())
            keyboard.press(held, sym);
        else
            QTest::keyClick(&window, key, modifiers);
        EXPECT_TRUE(QTest::qWaitFor([&] { return window.last.has_value(); }));
        EXPECT_EQ(window.last, recorded) << QKeySequence(key | modifiers).toString().toStdString();
    }
}

constexpr unsigned kShiftSuper = ShiftMask | Mod4Mask;

// The grab, on X11; the fixture counts the key events reaching Qt's X
// connection, per X key code, before the service's filter (newest runs first).
class X11GlobalHotKeyTest : public ::testing::Test, public QAbstractNativeEventFilter {
protected:
    void SetUp() override {
        if (gX11Display.empty()) {
            EXPECT_FALSE(X11GlobalHotKey::open()) << "offscreen there are no X key grabs";
            GTEST_SKIP() << "the grab needs an X server (--x11)";
        }
        ASSERT_TRUE(keyboard.connected());
        service = X11GlobalHotKey::open();
        ASSERT_TRUE(service);
        service->setOnPressed([this] { ++pressed; });
        qApp->installNativeEventFilter(this);
    }
    void TearDown() override { qApp->removeNativeEventFilter(this); }

    bool nativeEventFilter(const QByteArray&, void* message, qintptr*) override {
        const auto* key = static_cast<const xcb_key_press_event_t*>(message);
        const uint8_t type = key->response_type & 0x7f;
        if (type == XCB_KEY_PRESS || type == XCB_KEY_RELEASE)
            ++(type == XCB_KEY_PRESS ? presses : releases)[key->detail];
        return false;
    }

    // The error codes of another client's grabs of `sym` with `mods` and no lock, NumLock, CapsLock, both.
    std::vector<int> othersGrabs(KeySym sym, unsigned mods) {
        std::vector<int> codes;
        for (unsigned locks : {0u, unsigned{Mod2Mask}, unsigned{LockMask}, unsigned{Mod2Mask | LockMask}})
            codes.push_back(keyboard.tryGrab(sym, mods | locks));
        return codes;
    }
    const std::vector<int> held = {BadAccess, BadAccess, BadAccess, BadAccess};
    const std::vector<int> notHeld = {0, 0, 0, 0};

    // Presses `sym`; the callback count once its release has reached us and what came before it ran.
    int tap(const std::vector<KeySym>& modifiers, KeySym sym) {
        const KeyCode key = keyboard.keycode(sym);
        const int release = releases[key] + 1;
        keyboard.press(modifiers, sym);
        EXPECT_TRUE(QTest::qWaitFor([&] { return releases[key] >= release; })) << "the release did not reach us";
        QCoreApplication::sendPostedEvents();
        return pressed;
    }

    X11TestKeyboard keyboard{gX11Display};
    std::unique_ptr<X11GlobalHotKey> service;
    int pressed = 0;
    std::map<uint8_t, int> presses, releases;
};

TEST_F(X11GlobalHotKeyTest, TheCombinationIsHeldWithEveryLockAndEachPressRunsTheCallbackOnce) {
    ASSERT_EQ(service->registerHotKey(9, 0x0300), 0);
    EXPECT_EQ(othersGrabs(XK_v, kShiftSuper), held);
    EXPECT_EQ(othersGrabs(XK_v, ShiftMask), notHeld) << "only the registered modifiers are grabbed";
    EXPECT_EQ(tap({XK_Shift_L, XK_Super_L}, XK_v), 1);
    for (const auto& [lock, mask] : {std::pair<KeySym, unsigned>{XK_Num_Lock, Mod2Mask}, {XK_Caps_Lock, LockMask}}) {
        SCOPED_TRACE(lock == XK_Num_Lock ? "NumLock on" : "CapsLock on");
        keyboard.press({}, lock);
        ASSERT_EQ(keyboard.state() & (Mod2Mask | LockMask), mask) << "the lock did not turn on";
        const int before = pressed;
        EXPECT_EQ(tap({XK_Shift_L, XK_Super_L}, XK_v), before + 1);
        keyboard.press({}, lock);
    }
    service->unregisterHotKey();
    EXPECT_EQ(othersGrabs(XK_v, kShiftSuper), notHeld) << "unregistering releases every variant";

    ASSERT_EQ(service->registerHotKey(9, 0x0300 | 0x0400 | 0x0001), 0);
    EXPECT_EQ(othersGrabs(XK_v, kShiftSuper), held) << "bits beyond the four modifiers are left out";
    service.reset();
    EXPECT_EQ(othersGrabs(XK_v, kShiftSuper), notHeld) << "the service releases its grab when it goes";
}

// With plain autorepeat (each repeat a release and a press of the same time)
// and with detectable autorepeat (presses only), a key held down is one press.
TEST_F(X11GlobalHotKeyTest, AKeyHeldDownWithAutorepeatIsOnePress) {
    Display* ours = qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->display();
    Bool supported = False;
    const Bool qtsChoice = XkbGetDetectableAutoRepeat(ours, &supported);
    ASSERT_TRUE(supported);
    XkbSetAutoRepeatRate(ours, XkbUseCoreKbd, 100, 20); // a short hold repeats several times
    ASSERT_EQ(service->registerHotKey(9, 0x0300), 0);
    ASSERT_EQ(service->registerHotKey(111, 0), 0);
    const KeyCode v = keyboard.keycode(XK_v), f12 = keyboard.keycode(XK_F12);
    // F12, also ours, marks the end: once its release has come, so has all the held key sent.
    auto callbacksForV = [&] { return tap({}, XK_F12) - presses[f12]; };
    for (const Bool detectable : {True, False}) {
        SCOPED_TRACE(detectable ? "detectable autorepeat" : "plain autorepeat");
        XkbSetDetectableAutoRepeat(ours, detectable, &supported);
        XSync(ours, False);
        const int before = callbacksForV(), pressesBefore = presses[v], releasesBefore = releases[v];
        keyboard.hold({XK_Shift_L, XK_Super_L, XK_v}, true);
        EXPECT_TRUE(QTest::qWaitFor([&] { return presses[v] >= pressesBefore + 5; })) << "the key did not repeat";
        keyboard.hold({XK_Shift_L, XK_Super_L, XK_v}, false);
        EXPECT_EQ(callbacksForV(), before + 1);
        EXPECT_EQ(releases[v] - releasesBefore, detectable ? 1 : presses[v] - pressesBefore)
            << "the repeats came the way this mode sends them";
        keyboard.press({XK_Shift_L, XK_Super_L}, XK_v);
        EXPECT_EQ(callbacksForV(), before + 2) << "the next press counts again";
    }
    XkbSetDetectableAutoRepeat(ours, qtsChoice, &supported);
    XkbSetAutoRepeatRate(ours, XkbUseCoreKbd, 660, 40);
    XSync(ours, False);
}

TEST_F(X11GlobalHotKeyTest, ACombinationHeldElsewhereFailsWithBadAccessAndLeavesNothingGrabbed) {
    LogCapture log;
    // Another program holds only the NumLock variant: the three granted are released again.
    ASSERT_EQ(keyboard.tryGrab(XK_v, kShiftSuper | Mod2Mask, true), 0);
    EXPECT_EQ(service->registerHotKey(9, 0x0300), BadAccess);
    EXPECT_TRUE(log.contains("Sorvane: another program already holds that key combination"));
    keyboard.ungrab(XK_v, kShiftSuper | Mod2Mask);
    EXPECT_EQ(othersGrabs(XK_v, kShiftSuper), notHeld);
    EXPECT_EQ(service->registerHotKey(53, 0x0300), -1);
    EXPECT_TRUE(log.contains("Sorvane: the shortcut's key code 53 names no key")) << "a key outside the table";
}

TEST_F(X11GlobalHotKeyTest, RebindingReleasesTheOldCombinationAndGrabsTheNewOne) {
    TempDir dir;
    UserDefaultsFile defaults(dir.path() / "defaults.json");
    {
        HotKeyManager manager(*service);
        manager.setCallback([this] { ++pressed; });
        ASSERT_EQ(manager.applyCombo(HotKeyCombo::load(defaults)), 0);
        EXPECT_EQ(othersGrabs(XK_v, kShiftSuper), held);
        manager.rebind({49, 0x1100}, defaults);
        EXPECT_EQ(othersGrabs(XK_v, kShiftSuper), notHeld) << "the old combination is still grabbed";
        EXPECT_EQ(othersGrabs(XK_space, ControlMask | Mod4Mask), held);
        EXPECT_EQ(tap({XK_Control_L, XK_Super_L}, XK_space), 1);
    }
    EXPECT_EQ(othersGrabs(XK_space, ControlMask | Mod4Mask), notHeld) << "the manager releases it when it goes";
}

} // namespace
} // namespace sorvane::testing
