// What the X11 and Wayland clipboard suites share: a running watcher over a
// backend's clipboard with its reports recorded, a large text for transfers, and
// the cases both backends must pass alike, played against another program (xclip,
// wl-copy and wl-paste) on the same clipboard.
#pragma once

#include "clipboard/SorvanePasteboardWatcher.h"
#include "protocol/PairingHandshake.h"
#include "support/ProbePasteboard.h"
#include "support/Recorder.h"
#include "testing/test-env/LogCapture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace sorvane::testing {

// A running watcher on a backend's clipboard (opened by the caller: null when
// it could not be); every change it reports is recorded.
struct WatcherRig {
    WatcherRig(std::unique_ptr<Pasteboard> pasteboard, const std::string& where) {
        if (!pasteboard)
            throw std::runtime_error("cannot open the clipboard of " + where);
        auto probed = std::make_unique<ProbePasteboard>(std::move(pasteboard));
        probe = probed.get();
        watcher = std::make_unique<SorvanePasteboardWatcher>(std::move(probed));
        watcher->setOnChange([this](const std::string& t, const std::string& h) {
            EXPECT_EQ(h, sha256ShortHex(t));
            reports.add(t);
        });
        watcher->start();
    }
    ~WatcherRig() { probe->release(); }

    Recorder<std::string> reports;
    ProbePasteboard* probe = nullptr;
    std::unique_ptr<SorvanePasteboardWatcher> watcher;
};

// About `bytes` of multi-line UTF-8 text.
inline std::string bigText(size_t bytes) {
    std::string text;
    text.reserve(bytes + 64);
    for (size_t line = 0; text.size() < bytes; ++line)
        text += "line " + std::to_string(line) + " \u00e9\u00e8 clipboard payload\n";
    text.resize(bytes);
    return text;
}

// Another program on the same clipboard: what it copies, and what it pastes
// (absent when it could not).
struct OtherProgram {
    std::function<bool(const std::string&)> copy;
    std::function<std::optional<std::string>()> paste;
};

// A text from the phone written by the watcher is pasted by others but not
// reported back; once its suppression is used up, a real copy of the same
// text is reported.
inline void ownWriteIsServedButNotReported(WatcherRig& rig, const OtherProgram& other) {
    const std::string received = "received from the phone \u2014 \u65e5\u672c";
    rig.watcher->setSuppressHash(sha256ShortHex(received));
    rig.watcher->writeString(received);
    ASSERT_TRUE(rig.probe->waitHandled(1));
    EXPECT_EQ(rig.reports.items(), std::vector<std::string>{});
    EXPECT_EQ(rig.watcher->suppressHash(), std::nullopt);
    EXPECT_EQ(other.paste(), received);

    ASSERT_TRUE(other.copy("something else"));
    ASSERT_TRUE(rig.reports.waitForSize(1));
    ASSERT_TRUE(other.copy(received));
    ASSERT_TRUE(rig.reports.waitForSize(2));
    EXPECT_EQ(rig.reports.items(), (std::vector<std::string>{"something else", received}));
}

// 20 MiB copied by the other program are reported whole, and 20 MiB written by
// the watcher are pasted whole.
inline void twentyMebibytesTravelWholeBothWays(WatcherRig& rig, const OtherProgram& other) {
    using namespace std::chrono_literals;
    const std::string theirs = bigText(20u << 20);
    ASSERT_TRUE(other.copy(theirs));
    ASSERT_TRUE(rig.reports.waitForSize(1, 180s));
    EXPECT_TRUE(rig.reports.items().front() == theirs);

    const std::string ours = bigText((20u << 20) + 17);
    rig.watcher->writeString(ours);
    ASSERT_TRUE(rig.reports.waitForSize(2, 180s));
    EXPECT_TRUE(rig.reports.items().back() == ours);
    const auto pasted = other.paste();
    ASSERT_TRUE(pasted);
    EXPECT_EQ(pasted->size(), ours.size());
    EXPECT_TRUE(*pasted == ours);
}

// After an owner whose offer carries `marker` took the clipboard: that copy is
// ignored, and so is the restore of the old clipboard that follows it; the
// next copy is reported.
inline void markerSwallowsTheRestore(WatcherRig& rig, LogCapture& log, const OtherProgram& other,
                                     const std::string& marker) {
    ASSERT_TRUE(log.waitFor("[SorvanePB] ignored \u2014 exact match: " + marker));
    ASSERT_TRUE(other.copy("old clipboard restored"));
    ASSERT_TRUE(log.waitFor("[SorvanePB] ignored \u2014 transient grace window ("));
    ASSERT_TRUE(other.copy("third copy"));
    ASSERT_TRUE(rig.reports.waitForSize(1));
    EXPECT_EQ(rig.reports.items(), std::vector<std::string>{"third copy"});
}

// The display server dies (`kill`) under a running watcher: the loss of `server`
// is logged once, a write afterwards fails with a log line, and the watcher
// goes on polling until it is stopped.
inline void watcherOutlivesItsServer(WatcherRig& rig, LogCapture& log, const OtherProgram& other,
                                     const std::function<void()>& kill, const std::string& server) {
    ASSERT_TRUE(other.copy("last words"));
    ASSERT_TRUE(rig.reports.waitForSize(1));
    kill();
    ASSERT_TRUE(log.waitFor("[SorvanePB] lost the connection to " + server));
    rig.watcher->writeString("nowhere to go");
    EXPECT_TRUE(log.contains("[SorvanePB] could not take the clipboard"));
    ASSERT_TRUE(rig.probe->waitPolls(rig.probe->polls() + 2));
    EXPECT_EQ(log.count("lost the connection"), 1u);
    EXPECT_EQ(rig.reports.items(), std::vector<std::string>{"last words"});
    rig.watcher->stop();
}

} // namespace sorvane::testing
