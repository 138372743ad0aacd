// The platform's peripheral manager, as SorvanePeripheral drives it: one GATT
// service, advertising, read and write requests, notifications and an L2CAP
// channel. A backend (BlueZ over D-Bus, or the simulated radio) supplies a
// factory; each manager it makes is one registration with the radio.
//
// Threading contract:
// - A manager is created, used and destroyed on the peripheral's serial queue.
//   Every method below is called on that queue only.
// - A manager delivers every delegate callback by posting it with the TaskPoster
//   it was created with (onto that same queue), never synchronously from inside
//   one of its methods.
// - Once a manager's destructor has returned, none of its callbacks runs, not
//   even one already posted. Destroying a manager unregisters its service,
//   stops its advertising and withdraws its published L2CAP channel; channels
//   already handed over stay open (their ByteChannel belongs to the receiver).
// - A new manager reports its state asynchronously after creation, and again on
//   every change.
#pragma once

#include "ports/ByteChannel.h"
#include "base/Bytes.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sorvane {

// The radio's state as the manager reports it.
enum class ManagerState : int {
    unknown = 0,
    resetting = 1,
    unsupported = 2,
    unauthorized = 3,
    poweredOff = 4,
    poweredOn = 5,
};

// Characteristic property flags.
namespace CharProperty {
inline constexpr uint8_t read = 0x02;
inline constexpr uint8_t write = 0x08;
inline constexpr uint8_t notify = 0x10;
} // namespace CharProperty

// Attribute permission flags.
namespace AttrPermission {
inline constexpr uint8_t readable = 0x01;
inline constexpr uint8_t writeable = 0x02;
} // namespace AttrPermission

// The outcome of a read or write request as answered on the air.
enum class AttResult : uint8_t {
    success = 0x00,
    readNotPermitted = 0x02,
    writeNotPermitted = 0x03,
    requestNotSupported = 0x06,
    invalidOffset = 0x07,
    attributeNotFound = 0x0A,
    unlikelyError = 0x0E,
};

// A characteristic without a static value: reads and writes reach the delegate.
struct CharacteristicDefinition {
    std::string uuid;
    uint8_t properties = 0;
    uint8_t permissions = 0;
};

struct ServiceDefinition {
    std::string uuid;
    bool primary = true;
    std::vector<CharacteristicDefinition> characteristics; // in the order given
};

struct AdvertisementData {
    std::vector<std::string> serviceUUIDs;
    std::string localName;
};

// `centralID` names the central as the backend identifies it; `charUUID` is the
// characteristic's UUID text.
struct ReadRequest {
    uint64_t id = 0;
    std::string centralID;
    std::string charUUID;
    size_t offset = 0;
};

struct WriteRequest {
    uint64_t id = 0;
    std::string centralID;
    std::string charUUID;
    std::optional<Bytes> value;
    size_t offset = 0;
};

// Receives the manager's callbacks, on the peripheral's queue.
class PeripheralManagerDelegate {
public:
    virtual ~PeripheralManagerDelegate() = default;

    virtual void peripheralManagerDidUpdateState(ManagerState state) = 0;
    // `error` is absent on success.
    virtual void didAddService(const std::optional<std::string>& error) = 0;
    virtual void didPublishL2CAPChannel(uint16_t psm, const std::optional<std::string>& error) = 0;
    // A central opened the published channel. `channel` may be null without an error.
    virtual void didOpenL2CAPChannel(std::shared_ptr<ByteChannel> channel,
                                     const std::optional<std::string>& error) = 0;
    // Each request must be answered once with respond().
    virtual void didReceiveRead(const ReadRequest& request) = 0;
    // One batch; answering its first request answers the whole batch.
    virtual void didReceiveWrite(const std::vector<WriteRequest>& requests) = 0;
    virtual void didSubscribe(const std::string& centralID, const std::string& charUUID) = 0;
    virtual void didUnsubscribe(const std::string& centralID, const std::string& charUUID) = 0;
};

class PeripheralManager {
public:
    virtual ~PeripheralManager() = default;

    virtual ManagerState state() const = 0;
    // Answered by didAddService.
    virtual void addService(const ServiceDefinition& service) = 0;
    virtual void removeAllServices() = 0;
    virtual void startAdvertising(const AdvertisementData& data) = 0;
    virtual void stopAdvertising() = 0;
    // Sends `value` as a notification of `charUUID` to every subscribed central.
    // False when it was not sent: nobody is subscribed or the transmit queue is full.
    virtual bool updateValue(ByteView value, const std::string& charUUID) = 0;
    // Answers a read (with `value` on success) or a write request. A request that
    // is unknown or already answered is ignored.
    virtual void respond(uint64_t requestID, AttResult result, ByteView value) = 0;
    // Answered by didPublishL2CAPChannel.
    virtual void publishL2CAPChannel(bool withEncryption) = 0;
};

// Runs a task on the peripheral's queue, asynchronously.
using TaskPoster = std::function<void(std::function<void()>)>;

// Makes a new manager whose callbacks go to `delegate`, posted with `post`.
// Called on the peripheral's queue.
using PeripheralManagerFactory = std::function<std::unique_ptr<PeripheralManager>(
    PeripheralManagerDelegate& delegate, TaskPoster post)>;

} // namespace sorvane
