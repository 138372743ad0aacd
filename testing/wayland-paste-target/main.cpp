// A native Wayland window for the auto-paste tests: one text field that takes
// the keyboard focus. It prints "ready" once shown, "active" / "inactive" as
// the compositor moves the focus, and "text:<the field's text>" after every
// change, each on a line of its own on stdout.
//
// usage: sorvane-wayland-paste-target APP_ID
// (run with WAYLAND_DISPLAY set; the app id names the window to the compositor).

#include <QApplication>
#include <QLineEdit>
#include <QTimer>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: sorvane-wayland-paste-target APP_ID\n", stderr);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "wayland");
    QApplication app(argc, argv);
    QGuiApplication::setDesktopFileName(QString::fromLocal8Bit(argv[1]));
    QLineEdit field;
    field.setWindowTitle(QString::fromLocal8Bit(argv[1]));
    field.resize(400, 60);
    QObject::connect(&field, &QLineEdit::textChanged, [](const QString& text) {
        std::printf("text:%s\n", text.toUtf8().constData());
        std::fflush(stdout);
    });
    QObject::connect(&app, &QGuiApplication::applicationStateChanged, [](Qt::ApplicationState state) {
        std::puts(state == Qt::ApplicationActive ? "active" : "inactive");
        std::fflush(stdout);
    });
    field.show();
    QTimer::singleShot(0, [] {
        std::puts("ready");
        std::fflush(stdout);
    });
    return app.exec();
}
