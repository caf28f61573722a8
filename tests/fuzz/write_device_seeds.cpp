// Writes the seed corpus of the device-side fuzzer: each operation run once
// against a healthy simulated Vantor device, with every answer the device
// gave recorded in the fuzz input format. Each seed is then replayed through
// the fuzzer's own host and must end as the recorded session did, which
// also checks that the recorder and the fuzz host read the format alike.
// usage: write_device_seeds FOLDER

#include "devicesession.h"
#include "fuzzusbhost.h"
#include "recordingusbhost.h"

#include "protocol/loadertiming.h"
#include "protocol/sim/simvantormodel.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cstdio>
#include <optional>

namespace {

struct Seed
{
    const char *name;
    DeviceOperation operation;
    uint8_t parameter;
    bool inFlashingMode;
    std::optional<DeviceOperation> then = std::nullopt;
};

VantorDeviceState deviceState(bool validFirmware)
{
    VantorDeviceState state;
    vantorSetText(state.identity.serialNumber, "ZOK000001");
    state.identity.boardVersion = 2;
    state.identity.flags = vantorIdentityValid;
    state.firmware = vantorFirmwareInformation(1, 0, 0, 1, "master", validFirmware);
    state.userSettings[0] = std::vector<uint8_t>(40, 'z');
    state.userSettings[3] = std::vector<uint8_t>(700, 't');
    state.factoryConfiguration = std::vector<uint8_t>(600, 'f');
    return state;
}

// Whether every operation ended as on a healthy device, and how many there were.
struct Tally
{
    int operations = 0;
    bool allSucceeded = true;
};

SessionObserver tallying(Tally &tally)
{
    SessionObserver observer;
    observer.ended = [&tally](DeviceOperation operation, const OperationOutcome &outcome) {
        ++tally.operations;
        const bool succeeded = isWriteOperation(operation) ? outcome.successes == 1 && outcome.failures == 0
                                                           : outcome.received == 1 && outcome.failures == 0;
        tally.allSucceeded = tally.allSucceeded && succeeded && outcome.progressInOrder;
    };
    return observer;
}

bool writeSeed(const QString &folder, const Seed &seed)
{
    auto bus = std::make_shared<SimUsbBus>();
    // Without valid firmware the device starts in flashing mode.
    plugVantorDevice(bus,
        std::make_shared<SimVantorModel>(
            u"ZOK000001", deviceState(!seed.inFlashingMode), VantorDeviceBehaviour {}));
    std::vector<DeviceOperation> operations {seed.operation};
    if (seed.then)
        operations.push_back(*seed.then);
    const uint8_t header[FuzzAnswer::headerSize]
        = {uint8_t(seed.operation), seed.parameter, uint8_t(seed.then ? uint8_t(*seed.then) + 1 : 0)};

    auto recorder = std::make_shared<RecordingUsbHost>(bus);
    Tally recorded;
    runDeviceSession(recorder, operations, seed.parameter, tallying(recorded));
    if (recorded.operations != int(operations.size()) || !recorded.allSucceeded) {
        std::fprintf(stderr, "write_device_seeds: %s: the healthy session failed\n", seed.name);
        return false;
    }
    const std::vector<uint8_t> input = recorder->input(header);
    auto replay = std::make_shared<FuzzUsbHost>(
        input.data() + FuzzAnswer::headerSize, input.size() - FuzzAnswer::headerSize);
    Tally replayed;
    runDeviceSession(replay, operations, seed.parameter, tallying(replayed));
    if (replayed.operations != recorded.operations || !replayed.allSucceeded || replay->openFiles() != 0
        || replay->liveInterfaces() != 0) {
        std::fprintf(
            stderr, "write_device_seeds: %s: the replay did not end as the session did\n", seed.name);
        return false;
    }
    QFile file(QDir(folder).filePath(QString::fromLatin1(seed.name)));
    return file.open(QIODevice::WriteOnly)
        && file.write(reinterpret_cast<const char *>(input.data()), qint64(input.size()))
        == qint64(input.size());
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: write_device_seeds FOLDER\n");
        return 2;
    }
    // The fuzzer runs without pauses; so does the session it replays.
    LoaderTiming::setScale(0);
    const QString folder = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(folder))
        return 1;
    const Seed seeds[] = {
        {"flash-from-application", DeviceOperation::Flash, 0, false},
        {"flash-in-flashing-mode", DeviceOperation::Flash, 0, true},
        {"read-settings-slot-3", DeviceOperation::ReadSettings, 3, false},
        {"read-settings-empty-slot-1", DeviceOperation::ReadSettings, 1, false},
        {"write-settings-slot-1", DeviceOperation::WriteSettings, 1, false},
        {"read-configuration", DeviceOperation::ReadConfiguration, 0, false},
        {"write-configuration-from-application", DeviceOperation::WriteConfiguration, 0, false},
        {"write-configuration-in-flashing-mode", DeviceOperation::WriteConfiguration, 0, true},
        {"write-identity", DeviceOperation::WriteIdentity, 0, false},
        {"write-keys", DeviceOperation::WriteKeys, 0, false},
        {"flash-then-flash-again", DeviceOperation::Flash, 0, false, DeviceOperation::Flash},
        {"write-settings-then-read-them", DeviceOperation::WriteSettings, 2, false,
            DeviceOperation::ReadSettings},
    };
    for (const Seed &seed : seeds) {
        if (!writeSeed(folder, seed))
            return 1;
    }
    return 0;
}
