// Runs the Qt user-interface tests on the offscreen platform, or with --x11 on
// a private Xvfb with openbox, so that the same tests check both.
#include "qtui/QtUiTestEnv.h"

#include <QApplication>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace sorvane::testing {
std::string gX11Display;
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    bool x11 = false;
    for (int i = 1; i < argc; ++i)
        x11 = x11 || std::strcmp(argv[i], "--x11") == 0;
    std::unique_ptr<sorvane::testing::XSession> session;
    if (x11) {
        session = std::make_unique<sorvane::testing::XSession>();
        if (!session->running()) {
            std::fprintf(stderr, "qtui_tests: %s\n", session->error().c_str());
            return 1;
        }
        setenv("DISPLAY", session->display().c_str(), 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        sorvane::testing::gX11Display = session->display();
    } else {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
