// Moved to testing/dbus-daemon (sorvane_dbus_daemon, linked into every test).
// This empty unit stays while tests/app/CMakeLists.txt names it.
