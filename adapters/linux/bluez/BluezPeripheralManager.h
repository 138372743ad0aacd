// The peripheral manager on BlueZ 5 (bluetoothd over D-Bus) and the kernel's LE
// L2CAP sockets: the Linux backend of SorvanePeripheral.
//
// Each manager opens its own connection to the system bus (sd-bus honours
// DBUS_SYSTEM_BUS_ADDRESS) and runs the connection's event loop on its own thread.
// It follows org.bluez's owner, reads bluetoothd's objects and uses one adapter
// (/org/bluez/hciN with org.bluez.Adapter1). Its state:
//   poweredOn     the adapter's Powered is true
//   poweredOff    bluetoothd has no adapter (or it disappeared), or it is not powered
//   resetting     org.bluez has no owner (bluetoothd stopped or restarting); also
//                 reported in passing whenever the owner changes, since everything
//                 registered with the old bluetoothd is gone
//   unauthorized  bluetoothd refuses to answer us (AccessDenied)
//   unsupported   the system bus cannot be reached
// After a non-powered state, the next poweredOn report is the cue to add the
// service again (SorvanePeripheral does so), which registers a new application.
//
// addService exports the service as a GATT application (see BluezGattApplication)
// and registers it with GattManager1.RegisterApplication asynchronously; the reply
// is didAddService. ReadValue and WriteValue become read and write requests (one
// request per batch) answered through respond(); the ATT errors go back as
// org.bluez.Error.InvalidOffset / NotPermitted / NotSupported / Failed. Centrals
// are named by their device object path (the "device" option,
// /org/bluez/hci0/dev_XX_XX_XX_XX_XX_XX). StartNotify reports a subscription of
// every connected device (bluetoothd does not say which one asked); StopNotify,
// which bluetoothd sends when the last subscriber has gone, reports their
// unsubscriptions; a device whose Device1.Connected turns false (or that is
// removed) is reported as unsubscribed from each characteristic it was counted on,
// or once with an empty characteristic UUID when there was none. updateValue emits
// PropertiesChanged on the characteristic's Value; it returns false while no
// notification session is active or no device is connected.
// startAdvertising registers an LE advertisement (Type "peripheral", the service
// UUIDs, the local name) with LEAdvertisingManager1; stopAdvertising unregisters it.
//
// The L2CAP channel is a kernel listening socket (see KernelL2cap.h); every
// accepted connection is handed over as a ByteChannel. Where the kernel has no
// Bluetooth sockets, didPublishL2CAPChannel carries the reason and GATT carries
// everything.
//
// Method calls on our objects from anyone but the current owner of org.bluez are
// refused with AccessDenied and logged ("Sorvane BLE: refused ..."), a few per
// window and then as a count (see BluezRefusalLog.h), so that a flood of them
// cannot flood the log; calls with malformed options are refused and logged too.
//
// The manager wires together its parts, which share one BluezConnection and one
// BluezQueue: BluezObjectTracker (bluetoothd's owner, adapter, devices and the
// state above), BluezGattServer (the service, its registration and the calls on
// it), BluezAdvertiser (the advertisement and its registration) and
// BluezL2capPublisher (the L2CAP channel).
//
// Threading: see ble/PeripheralBackend.h. D-Bus traffic is handled on the
// connection's event-loop thread, accepted L2CAP connections on the listener's
// thread; both only parse and post to the peripheral's queue, where all state
// lives. Destroying a manager stops both threads, unregisters what it registered
// and closes its connection (bluetoothd then drops anything left).
#pragma once

#include "ports/PeripheralBackend.h"
#include "adapters/linux/bluez/KernelL2cap.h"
#include "base/Clock.h"

#include <string>

namespace sorvane {

struct BluezOptions {
    // The adapter to use, such as "hci1"; empty takes the first one bluetoothd lists.
    std::string adapter;
    // Opens the listening L2CAP socket; empty means openKernelL2capServer.
    L2capServerOpener openL2capServer;
    // Times the windows of the refusal log (BluezRefusalLog.h); empty means the
    // steady clock.
    SteadyClock clock;
};

// Makes BlueZ-backed managers. Calls the factory on the peripheral's queue.
PeripheralManagerFactory bluezPeripheralManagerFactory(BluezOptions options = {});

} // namespace sorvane
