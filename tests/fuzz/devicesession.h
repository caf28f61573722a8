#pragma once

// One session of the device-side fuzzer, the same for a fuzz input and for
// the recording of a seed: a driver with the loader factory enumerates the
// host's devices on the calling thread, and the first loader runs an
// operation, called directly, and perhaps a second one, as a user trying
// again would. What came back is counted for the checks.
// Calling thread only; no worker thread, no event loop.

#include <QSharedPointer>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class FirmwareFile;
class UsbHost;

enum class DeviceOperation : uint8_t {
    Flash,
    ReadSettings,
    WriteSettings,
    ReadConfiguration,
    WriteConfiguration,
    WriteIdentity,
    WriteKeys,
};
constexpr int deviceOperationCount = 7;

const char *deviceOperationName(DeviceOperation operation);
bool isWriteOperation(DeviceOperation operation);

// What one operation sent back.
struct OperationOutcome
{
    int successes = 0; // the operation's success signal
    int failures = 0; // firmwareReprogrammingFailed
    int received = 0; // the read operations' signal
    bool progressInOrder = true; // every value within 0 to 100, none lower than the one before
};

// Called around each operation, for checks that need the host's view.
struct SessionObserver
{
    std::function<void(DeviceOperation)> starting = [](DeviceOperation) {};
    std::function<void(DeviceOperation, const OperationOutcome &)> ended
        = [](DeviceOperation, const OperationOutcome &) {};
};

// The image of a flash: a small, valid firmware file, made once per process.
QSharedPointer<FirmwareFile> sessionFirmware();

// Enumerates, runs the operations one after the other on the first loader
// found (parameter is the settings slot), then deletes the driver with
// every device. False when no device had a loader.
bool runDeviceSession(const std::shared_ptr<UsbHost> &host, const std::vector<DeviceOperation> &operations,
    uint8_t parameter, const SessionObserver &observer = {});
