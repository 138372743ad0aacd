// The global shortcut: what a key event in our windows records (offscreen from
// Qt's keys, on X11 from real presses), and on a private Xvfb with openbox the
// grab itself, as another X client and the keyboard see it: the combination is
// held with and without the lock keys, a press runs the callback once however
// long the key is held, a combination held elsewhere fails with BadAccess and
// leaves nothing behind, and rebinding moves the grab.
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

#include <xcb/xcb.h>

namespace {
// Xlib defines KeyPress as a macro.
constexpr QEvent::Type kKeyPressEvent = QEvent::KeyPress;
} // namespace

// After Qt: Xlib's macros clash with Qt's names.
#include "qtui/X11TestKeyboard.h"

namespace sorvane::testing {
namespace {

using Keys = std::pair<std::optional<uint32_t>, uint32_t>;

Keys recorded(const QKeyEvent& event) {
    return {hotKeyCodeForKeyEvent(event), carbonModifiers(event.modifiers())};
}

TEST(HotKeyKeys, QtModifiersAndKeysGiveTheStoredValues) {
    EXPECT_EQ(carbonModifiers(Qt::MetaModifier), 0x0100u);
    EXPECT_EQ(carbonModifiers(Qt::ShiftModifier), 0x0200u);
    EXPECT_EQ(carbonModifiers(Qt::AltModifier), 0x0800u);
    EXPECT_EQ(carbonModifiers(Qt::ControlModifier), 0x1000u);
    EXPECT_EQ(carbonModifiers(Qt::ShiftModifier | Qt::MetaModifier | Qt::KeypadModifier | Qt::GroupSwitchModifier),
              0x0300u);
    EXPECT_EQ(carbonModifiers(Qt::NoModifier), 0u);

    // Without a native key (offscreen, other platforms): the Qt key.
    const std::vector<std::pair<Qt::Key, std::optional<uint32_t>>> keys = {
        {Qt::Key_V, 9},       {Qt::Key_A, 0},       {Qt::Key_Z, 6},       {Qt::Key_0, 29},
        {Qt::Key_9, 25},      {Qt::Key_Space, 49},  {Qt::Key_Return, 36}, {Qt::Key_Tab, 48},
        {Qt::Key_Backtab, 48}, {Qt::Key_F1, 122},   {Qt::Key_F12, 111},   {Qt::Key_Escape, std::nullopt},
        {Qt::Key_Enter, std::nullopt}, {Qt::Key_F13, std::nullopt}, {Qt::Key_Exclam, std::nullopt},
        {Qt::Key_Shift, std::nullopt}};
    for (const auto& [key, code] : keys) {
        const QKeyEvent event(kKeyPressEvent, key, Qt::NoModifier);
        EXPECT_EQ(hotKeyCodeForKeyEvent(event), code) << QKeySequence(key).toString().toStdString();
    }
    // With one (xcb): the keysym, either case of a letter; one outside the table
    // falls back to the Qt key.
    auto native = [](int key, uint32_t keysym) {
        return hotKeyCodeForKeyEvent(QKeyEvent(kKeyPressEvent, key, Qt::NoModifier, 0, keysym, 0));
    };
    EXPECT_EQ(native(Qt::Key_V, 'V'), 9u);
    EXPECT_EQ(native(Qt::Key_V, 'v'), 9u);
    EXPECT_EQ(native(Qt::Key_F2, 0xffbf), 120u);
    EXPECT_EQ(native(Qt::Key_Backtab, 0xfe20), 48u) << "ISO_Left_Tab is Shift+Tab";
    EXPECT_EQ(native(Qt::Key_Exclam, '!'), std::nullopt);
    EXPECT_EQ(native(Qt::Key_unknown, 0x6c1), std::nullopt) << "a Cyrillic letter";
}

// What the recorder sees of keys typed into a window of ours.
class KeyRecorder final : public QWidget {
public:
    std::optional<Keys> last;

protected:
    void keyPressEvent(QKeyEvent* event) override {
        switch (event->key()) {
        case Qt::Key_Shift:
        case Qt::Key_Control:
        case Qt::Key_Alt:
        case Qt::Key_Meta:
        case Qt::Key_Super_L:
        case Qt::Key_Super_R:
            return;
        default:
            last = recorded(*event);
        }
    }
};

TEST(HotKeyKeys, KeysTypedIntoAWindowRecordWhatTheGrabUses) {
    KeyRecorder window;
    window.resize(200, 100);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    if (gX11Display.empty()) {
        QTest::keyClick(&window, Qt::Key_V, Qt::ShiftModifier | Qt::MetaModifier);
        EXPECT_EQ(window.last, Keys(9, 0x0300));
        QTest::keyClick(&window, Qt::Key_Return, Qt::ControlModifier | Qt::AltModifier);
        EXPECT_EQ(window.last, Keys(36, 0x1800));
        return;
    }
    X11TestKeyboard keyboard(gX11Display);
    ASSERT_TRUE(keyboard.connected());
    auto type = [&](std::initializer_list<KeySym> modifiers, KeySym key) {
        window.last.reset();
        keyboard.press(modifiers, key);
        return QTest::qWaitFor([&] { return window.last.has_value(); }) ? *window.last : Keys(0xdead, 0xdead);
    };
    EXPECT_EQ(type({XK_Shift_L, XK_Super_L}, XK_v), Keys(9, 0x0300));
    EXPECT_EQ(type({XK_Control_L, XK_Alt_L}, XK_Return), Keys(36, 0x1800));
    EXPECT_EQ(type({XK_Control_L}, XK_F1), Keys(122, 0x1000));
    EXPECT_EQ(type({XK_Shift_L}, XK_Tab), Keys(48, 0x0200));
    EXPECT_EQ(type({XK_Control_L}, XK_space), Keys(49, 0x1000));
    EXPECT_EQ(type({}, XK_7), Keys(26, 0));
    EXPECT_EQ(type({XK_Shift_L}, XK_1), Keys(std::nullopt, 0x0200)) << "Shift+1 types '!', no key of the table";
}

// Counts the key events that reach Qt's X connection, per key, before the
// shortcut's own filter sees them (filters run newest first).
class KeyEventCounter final : public QAbstractNativeEventFilter {
public:
    struct Count {
        int presses = 0;
        int releases = 0;
    };
    KeyEventCounter() { qApp->installNativeEventFilter(this); }
    ~KeyEventCounter() override { qApp->removeNativeEventFilter(this); }
    bool nativeEventFilter(const QByteArray&, void* message, qintptr*) override {
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        const uint8_t type = event->response_type & 0x7f;
        if (type == XCB_KEY_PRESS || type == XCB_KEY_RELEASE) {
            Count& count = m_counts[reinterpret_cast<const xcb_key_press_event_t*>(event)->detail];
            ++(type == XCB_KEY_PRESS ? count.presses : count.releases);
        }
        return false;
    }
    Count operator[](KeyCode key) const {
        const auto found = m_counts.find(static_cast<uint8_t>(key));
        return found == m_counts.end() ? Count{} : found->second;
    }

private:
    std::map<uint8_t, Count> m_counts;
};

constexpr unsigned kShiftSuper = ShiftMask | Mod4Mask;

class X11GlobalHotKeyTest : public ::testing::Test {
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
        qApp->removeNativeEventFilter(&counter);
        qApp->installNativeEventFilter(&counter);
    }

    // Each of the four lock variants of `sym`+`mods` as another client finds it:
    // the X error codes of its grabs, which it releases again.
    std::vector<int> othersGrabs(KeySym sym, unsigned mods) {
        std::vector<int> codes;
        for (unsigned locks : {0u, unsigned{Mod2Mask}, unsigned{LockMask}, unsigned{Mod2Mask | LockMask}}) {
            codes.push_back(keyboard.grab(sym, mods | locks));
            if (codes.back() == 0)
                keyboard.ungrab(sym, mods | locks);
        }
        return codes;
    }
    const std::vector<int> held = {BadAccess, BadAccess, BadAccess, BadAccess};
    const std::vector<int> notHeld = {0, 0, 0, 0};

    // The callback count once the `releases`th release of `sym` has reached us
    // and what the presses before it posted has run.
    int pressesAfterRelease(KeySym sym, int release) {
        const KeyCode key = keyboard.keycode(sym);
        EXPECT_TRUE(QTest::qWaitFor([&] { return counter[key].releases >= release; }));
        QCoreApplication::sendPostedEvents();
        return pressed;
    }
    int releasesOf(KeySym sym) { return counter[keyboard.keycode(sym)].releases; }

    X11TestKeyboard keyboard{gX11Display};
    std::unique_ptr<X11GlobalHotKey> service;
    // Installed after the service's filter, so it sees each event first.
    KeyEventCounter counter;
    int pressed = 0;
};

TEST_F(X11GlobalHotKeyTest, TheCombinationIsHeldWithEveryLockAndEachPressRunsTheCallbackOnce) {
    ASSERT_EQ(service->registerHotKey(9, 0x0300), 0);
    EXPECT_EQ(othersGrabs(XK_v, kShiftSuper), held);
    EXPECT_EQ(othersGrabs(XK_v, ShiftMask), notHeld) << "only the registered modifiers are grabbed";

    keyboard.press({XK_Shift_L, XK_Super_L}, XK_v);
    EXPECT_EQ(pressesAfterRelease(XK_v, 1), 1);

    for (KeySym lock : {XK_Num_Lock, XK_Caps_Lock}) {
        SCOPED_TRACE(lock == XK_Num_Lock ? "with NumLock" : "with CapsLock");
        keyboard.toggle(lock);
        const unsigned mask = lock == XK_Num_Lock ? Mod2Mask : LockMask;
        ASSERT_TRUE(keyboard.state() & mask) << "the lock did not turn on";
        const int before = pressed;
        keyboard.press({XK_Shift_L, XK_Super_L}, XK_v);
        EXPECT_EQ(pressesAfterRelease(XK_v, releasesOf(XK_v) + 1), before + 1);
        keyboard.toggle(lock);
        ASSERT_FALSE(keyboard.state() & mask);
    }
    EXPECT_EQ(counter[keyboard.keycode(XK_v)].presses, 3) << "each press reached us once";

    service->unregisterHotKey();
    EXPECT_EQ(othersGrabs(XK_v, kShiftSuper), notHeld) << "unregistering releases every variant";

    // Bits beyond the four modifiers are left out of the grab.
    ASSERT_EQ(service->registerHotKey(9, 0x0300 | 0x0400 | 0x0001), 0);
    EXPECT_EQ(othersGrabs(XK_v, kShiftSuper), held);
    service.reset();
    EXPECT_EQ(othersGrabs(XK_v, kShiftSuper), notHeld) << "the service releases its grab when it goes";
}

// With the server's plain autorepeat (a release and a press with the same time
// for each repeat) and with detectable autorepeat (presses only), a key held
// down is one press.
TEST_F(X11GlobalHotKeyTest, AKeyHeldDownWithAutorepeatIsOnePress) {
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    ASSERT_TRUE(x11 && x11->display());
    Display* ours = x11->display();
    Bool supported = False;
    const Bool qtsChoice = XkbGetDetectableAutoRepeat(ours, &supported);
    ASSERT_TRUE(supported);
    // Repeats soon and often, so that a short hold has several.
    XkbSetAutoRepeatRate(keyboard.display(), XkbUseCoreKbd, 100, 20);
    XSync(keyboard.display(), False);
    ASSERT_EQ(service->registerHotKey(9, 0x0300), 0);
    // F12, also ours, marks the end: once its release has come, so has
    // everything the held key sent before it.
    ASSERT_EQ(service->registerHotKey(111, 0), 0);
    auto settle = [&] {
        keyboard.press({}, XK_F12);
        const int all = pressesAfterRelease(XK_F12, releasesOf(XK_F12) + 1);
        return all - counter[keyboard.keycode(XK_F12)].presses;
    };
    const KeyCode v = keyboard.keycode(XK_v);

    for (const Bool detectable : {True, False}) {
        SCOPED_TRACE(detectable ? "detectable autorepeat" : "plain autorepeat");
        XkbSetDetectableAutoRepeat(ours, detectable, &supported);
        XSync(ours, False);
        const int before = settle();
        const auto start = counter[v];
        keyboard.key(XK_Shift_L, true);
        keyboard.key(XK_Super_L, true);
        keyboard.key(XK_v, true);
        ASSERT_TRUE(QTest::qWaitFor([&] { return counter[v].presses >= start.presses + 5; }))
            << "the key did not repeat";
        keyboard.key(XK_v, false);
        keyboard.key(XK_Super_L, false);
        keyboard.key(XK_Shift_L, false);
        EXPECT_EQ(settle(), before + 1);
        // The repeats came the way this mode sends them.
        const int presses = counter[v].presses - start.presses;
        const int releases = counter[v].releases - start.releases;
        EXPECT_EQ(releases, detectable ? 1 : presses);

        // The next press after the release counts again.
        keyboard.press({XK_Shift_L, XK_Super_L}, XK_v);
        EXPECT_EQ(settle(), before + 2);
    }
    XkbSetDetectableAutoRepeat(ours, qtsChoice, &supported);
    XkbSetAutoRepeatRate(keyboard.display(), XkbUseCoreKbd, 660, 40);
    XSync(ours, False);
    XSync(keyboard.display(), False);
}

TEST_F(X11GlobalHotKeyTest, ACombinationHeldElsewhereFailsWithBadAccessAndLeavesNothingGrabbed) {
    LogCapture log;
    // Another program holds only the NumLock variant: the other three, which
    // the server granted, are released again.
    ASSERT_EQ(keyboard.grab(XK_v, kShiftSuper | Mod2Mask), 0);
    EXPECT_EQ(service->registerHotKey(9, 0x0300), BadAccess);
    EXPECT_TRUE(log.contains("Sorvane: another program already holds that key combination"));
    keyboard.ungrab(XK_v, kShiftSuper | Mod2Mask);
    EXPECT_EQ(othersGrabs(XK_v, kShiftSuper), notHeld);

    // The window manager's own binding (openbox: Super+F1 goes to desktop 1).
    EXPECT_EQ(service->registerHotKey(122, 0x0100), BadAccess);
    EXPECT_EQ(othersGrabs(XK_F1, 0), notHeld) << "F1 alone was never ours";

    // A key the table does not name.
    EXPECT_EQ(service->registerHotKey(53, 0x0300), -1);
    EXPECT_TRUE(log.contains("Sorvane: the shortcut's key code 53 names no key"));
}

TEST_F(X11GlobalHotKeyTest, RebindingReleasesTheOldCombinationAndGrabsTheNewOne) {
    TempDir dir;
    UserDefaultsFile defaults(dir.path() / "defaults.json");
    LogCapture log;
    {
        HotKeyManager manager(*service);
        manager.setCallback([this] { ++pressed; });
        ASSERT_EQ(manager.applyCombo(HotKeyCombo::load(defaults)), 0);
        EXPECT_EQ(othersGrabs(XK_v, kShiftSuper), held);

        manager.rebind({49, 0x1100}, defaults);
        EXPECT_TRUE(log.contains("Sorvane: hotkey changed to Ctrl+Super+Space"));
        EXPECT_EQ(othersGrabs(XK_v, kShiftSuper), notHeld) << "the old combination is still grabbed";
        EXPECT_EQ(othersGrabs(XK_space, ControlMask | Mod4Mask), held);

        keyboard.press({XK_Control_L, XK_Super_L}, XK_space);
        EXPECT_EQ(pressesAfterRelease(XK_space, 1), 1);
    }
    EXPECT_EQ(othersGrabs(XK_space, ControlMask | Mod4Mask), notHeld) << "the manager releases it when it goes";
}

} // namespace
} // namespace sorvane::testing
