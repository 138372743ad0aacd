// sorvane-fake-bluetoothd: a fake bluetoothd with a scriptable phone, for tests
// and demos on a private D-Bus bus (see FakeBluez.h and FakeBluezControl.h).
//
//   sorvane-fake-bluetoothd [--bus ADDRESS] [--phone-identity FILE]
//                           [--desktop-qr TEXT] [--unpowered]
//
// The bus is --bus, else $DBUS_SYSTEM_BUS_ADDRESS; the machine's own system bus is
// never used by default. Prints "fake-bluetoothd: ready" on stdout once org.bluez
// and org.sorvane.FakeBluez are owned, and runs until SIGINT or SIGTERM.
#include "base/Log.h"
#include "testing/fake-bluetoothd/FakeBluez.h"
#include "testing/fake-bluetoothd/FakeBluezControl.h"

#include <sdbus-c++/Error.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

using namespace sorvane;
using namespace sorvane::fakebluez;

namespace {

int usage() {
    std::cerr << "usage: sorvane-fake-bluetoothd [--bus ADDRESS] [--phone-identity FILE]\n"
                 "                               [--desktop-qr TEXT] [--unpowered]\n";
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    FakeBluez::Options bluezOptions;
    FakeBluezControl::Options controlOptions;
    std::string identityFile;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--bus" && hasValue)
            bluezOptions.busAddress = argv[++i];
        else if (arg == "--phone-identity" && hasValue)
            identityFile = argv[++i];
        else if (arg == "--desktop-qr" && hasValue)
            controlOptions.desktopQR = argv[++i];
        else if (arg == "--unpowered")
            bluezOptions.powered = false;
        else
            return usage();
    }
    if (bluezOptions.busAddress.empty()) {
        if (const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS"))
            bluezOptions.busAddress = address;
    }
    if (bluezOptions.busAddress.empty()) {
        std::cerr << "sorvane-fake-bluetoothd: give a private bus with --bus or "
                     "DBUS_SYSTEM_BUS_ADDRESS\n";
        return 2;
    }
    if (!identityFile.empty()) {
        controlOptions.identity = loadPhoneIdentity(identityFile);
        if (!controlOptions.identity)
            return 1;
    }
    controlOptions.busAddress = bluezOptions.busAddress;

    // Signals are taken synchronously below; every thread inherits the mask.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    try {
        FakeBluez bluez(bluezOptions);
        FakeBluezControl control(bluez, std::move(controlOptions));
        std::cout << "fake-bluetoothd: ready" << std::endl;
        int signal = 0;
        sigwait(&stop, &signal);
        logLine(std::string("fake-bluetoothd: stopping on ") + strsignal(signal));
    } catch (const sdbus::Error& e) {
        std::cerr << "sorvane-fake-bluetoothd: " << e.getName() << ": " << e.getMessage() << "\n";
        return 1;
    }
    return 0;
}
