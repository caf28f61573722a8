#pragma once

// Simulated Vantor devices on a bus of their own, a driver with the loader
// factory, and firmware files whose images name their version: for tests of
// whole operations against a device that behaves like the real one.

#include "../ui/firmwarefixture.h"
#include "loadertestsupport.h"

#include "firmware/firmwarefile.h"
#include "protocol/sim/simulatorsetup.h"
#include "protocol/sim/simvantormodel.h"
#include "usb/deviceinterfaceguid.h"

#include <QDir>
#include <QSharedPointer>
#include <QString>

// A firmware file in folder whose payload is an image of size bytes that
// names version.subversion.bugfix, build and name.
inline QSharedPointer<FirmwareFile> vantorFirmwareFile(const QString &folder, int size, uint8_t version = 3,
    uint8_t subversion = 1, uint8_t bugfix = 4, uint32_t build = 99, const std::string &name = "master")
{
    const std::vector<uint8_t> image
        = vantorImagePayload(version, subversion, bugfix, build, name, size_t(size));
    const QString path = writeFirmwareFile(QDir(folder).filePath(QStringLiteral("image-%1.tvf").arg(size)),
        version, subversion, bugfix, build, QByteArray::fromStdString(name),
        QByteArray(reinterpret_cast<const char *>(image.data()), int(image.size())));
    auto firmware = QSharedPointer<FirmwareFile>::create();
    if (path.isEmpty())
        return {};
    firmware->loadFile(path);
    return firmware;
}

struct VantorBench
{
    std::shared_ptr<SimUsbBus> bus = std::make_shared<SimUsbBus>();
    std::vector<std::shared_ptr<SimVantorModel>> models;

    // Plugs the devices a TALVEX_SIMULATOR value describes.
    bool plug(const QString &simulator)
    {
        QString error;
        return setUpSimulator(simulator, bus, &error, &models);
    }

    VantorDevice &device(int index = 0) { return models.at(size_t(index))->device(); }

    // Whether the bus lists a device now. A returning device counts itself
    // on the bus a moment before the bus lists it again.
    bool busListsADevice() const
    {
        std::vector<std::u16string> paths;
        return bus->listInterfacePaths(DEVICE_INTERFACE_GUID, paths) && !paths.empty();
    }
};

// The requests of the bus's log with each run of busy questions shown once,
// as "17*", so that a sequence does not depend on how long the device was busy.
inline QStringList requestSequence(const SimUsbBus &bus)
{
    QStringList sequence;
    for (const QString &request : requestLog(bus)) {
        if (request == QLatin1String("17") && !sequence.isEmpty() && sequence.last() == QStringLiteral("17*"))
            continue;
        sequence << (request == QLatin1String("17") ? QStringLiteral("17*") : request);
    }
    return sequence;
}
