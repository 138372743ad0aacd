// What the Qt user-interface tests run on, and the looks at windows they share.
#pragma once

#include "testing/x-session/XSession.h"

#include <QApplication>
#include <QScreen>
#include <QTest>
#include <QWidget>

#include <cstdlib>
#include <string>
#include <vector>

namespace sorvane::testing {

// ":N" when the tests run on a private X server (--x11), empty offscreen.
extern std::string gX11Display;

// Shows `other`, a window of the test's own, and gives it the focus.
inline bool activateAnother(QWidget& other) {
    other.resize(200, 200);
    other.show();
    other.activateWindow();
    return QTest::qWaitForWindowActive(&other);
}

// The visible top-level windows of type View.
template <class View> std::vector<View*> visibleWindows() {
    std::vector<View*> views;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* view = dynamic_cast<View*>(widget); view && view->isVisible())
            views.push_back(view);
    return views;
}

// Where `widget` lies in `window`.
inline QRect areaIn(const QWidget* window, const QWidget* widget) {
    return {widget->mapTo(window, QPoint()), widget->size()};
}

// What window `w` shows now, as the platform holds it: not a fresh rendering.
inline QImage onScreen(QWidget& w) {
    return w.screen()->grabWindow(w.winId()).toImage().convertToFormat(QImage::Format_RGB32);
}

// The pixel of `area` that stands out most from `ground`: the core of the text
// drawn there.
inline QColor inkIn(const QImage& image, const QRect& area, QColor ground) {
    QColor ink = ground;
    int farthest = -1;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) {
            const QColor c = image.pixelColor(x, y);
            const int distance = std::abs(qGray(c.rgb()) - qGray(ground.rgb()));
            if (distance > farthest) {
                farthest = distance;
                ink = c;
            }
        }
    return ink;
}

} // namespace sorvane::testing
