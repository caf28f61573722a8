// libFuzzer target for everything a device can answer: a host that answers
// every call from the input stands in for the device, the USB layer and the
// loader enumerate it and run one or two operations, and the outcome is
// checked. Built with the protocol's pauses and limits made instant.

#include "devicesession.h"
#include "fuzzusbhost.h"

#include "firmware/firmwarefile.h"

#include <QCoreApplication>

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace {

void checkOutcome(const FuzzUsbHost &host, DeviceOperation operation, const OperationOutcome &outcome)
{
    if (!outcome.progressInOrder)
        fuzzFault("progress outside 0 to 100 or going back");
    if (isWriteOperation(operation)) {
        if (outcome.received != 0 || outcome.successes + outcome.failures != 1) {
            std::fprintf(stderr, "%s: %d successes, %d failures\n", deviceOperationName(operation),
                outcome.successes, outcome.failures);
            fuzzFault("a write operation did not end with exactly one result");
        }
    } else if (outcome.received != 1 || outcome.successes + outcome.failures != 0) {
        fuzzFault("a read operation did not end with exactly one block");
    }
    // A flash counts as done only when every byte went out and the device
    // then said its firmware is valid.
    if (operation == DeviceOperation::Flash && outcome.successes == 1
        && (!host.lastFirmwareInformationValid()
            || host.bytesWrittenWhole() < uint64_t(sessionFirmware()->data().size())))
        fuzzFault("a flash reported done that the device did not confirm");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    // Deferred deletion needs the application's thread data.
    static QCoreApplication application(*argc, *argv);
    sessionFirmware();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < FuzzAnswer::headerSize)
        return 0;
    std::vector<DeviceOperation> operations {DeviceOperation(data[0] % deviceOperationCount)};
    if (data[2] != 0)
        operations.push_back(DeviceOperation((data[2] - 1) % deviceOperationCount));
    const auto host
        = std::make_shared<FuzzUsbHost>(data + FuzzAnswer::headerSize, size - FuzzAnswer::headerSize);
    SessionObserver observer;
    observer.starting = [&](DeviceOperation) { host->startOperation(); };
    observer.ended = [&](DeviceOperation operation, const OperationOutcome &outcome) {
        checkOutcome(*host, operation, outcome);
    };
    runDeviceSession(host, operations, data[1], observer);

    if (host->openFiles() != 0)
        fuzzFault("a file handle was left open");
    if (host->liveInterfaces() != 0)
        fuzzFault("an interface handle was left unfreed");
    return 0;
}
