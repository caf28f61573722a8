// talvex-cli flash --all: the station run on the devices attached at
// the start, flashed side by side, then the end. Each device gets a driver
// that sees only its own path, on a worker thread of its own, so that a
// slow or failing device never holds up another; all drivers share the one
// host (and, with TALVEX_SIMULATOR, the one simulated bus).

#include "flashall.h"

#include "clicommon.h"
#include "commandreport.h"
#include "devicesession.h"
#include "stationreport.h"

#include "protocol/deviceplatform.h"
#include "station/reportfields.h"
#include "station/station.h"
#include "station/stationunit.h"
#include "usb/host/usbhost.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QTimer>

#include <cstdio>
#include <vector>

namespace {

[[noreturn]] void fail(ExitStatus status, const QString &message)
{
    throw CommandError {status, QStringLiteral("flash"), message, QString()};
}

QStringList attachedPaths(UsbHost &host)
{
    std::vector<std::u16string> found;
    if (!host.listInterfacePaths(DEVICE_INTERFACE_GUID, found))
        fail(ExitDeviceFailed, QStringLiteral("the list of attached devices could not be read"));
    QStringList paths;
    for (const std::u16string &path : found)
        paths << QString::fromStdU16String(path);
    return paths;
}

QJsonObject deviceResult(const StationUnit &unit)
{
    const bool ok = unit.result() == UnitResult::Done;
    QJsonObject result;
    if (unit.isOpened()) {
        result = CommandReport::identity(unit.device());
        result.insert(QStringLiteral("exit"), ok ? int(ExitSuccess) : int(ExitDeviceFailed));
        result.insert(QStringLiteral("seconds"), unit.seconds());
        result.insert(QStringLiteral("old_firmware"), unit.firmwareBefore());
    }
    result.insert(QStringLiteral("ok"), ok);
    if (ok)
        result.insert(QStringLiteral("new_firmware"), unit.firmwareAfter());
    else
        result.insert(QStringLiteral("reason"), unit.reason());
    return result;
}

void printLine(const StationUnit &unit)
{
    if (!unit.isOpened()) {
        // Held by another program, gone already, or not answering as a Vantor device.
        printOut(QStringLiteral("%1\n").arg(unit.reason()));
        return;
    }
    const QString serial = serialText(unit.device());
    const QString seconds = QString::number(unit.seconds(), 'f', 2);
    if (unit.result() == UnitResult::Done)
        printOut(QStringLiteral("%1: ok, %2, %3 s\n").arg(serial, unit.firmwareAfterText(), seconds));
    else
        printOut(QStringLiteral("%1: failed, %2 s: %3\n").arg(serial, seconds, unit.reason()));
    std::fflush(stdout);
}

} // namespace

int runFlashAll(const QSharedPointer<FirmwareFile> &firmware, const QString &fileName,
    const FlashApproval::Options &approval, int waitMs)
{
    DeviceSession::startUsbPlatform();
    CommandReport &report = CommandReport::current();

    // Held until the end, so that the station's units share it.
    const UsbPlatform platform = devicePlatform();
    QStringList paths = attachedPaths(*platform.host);
    QElapsedTimer waited;
    waited.start();
    while (paths.isEmpty() && waited.elapsed() < waitMs) {
        QEventLoop change;
        QTimer::singleShot(int(waitMs - waited.elapsed()), &change, &QEventLoop::quit);
        QObject::connect(platform.deviceChangeSource.get(), SIGNAL(deviceListChanged()), &change, SLOT(quit()));
        change.exec();
        paths = attachedPaths(*platform.host);
    }
    if (paths.isEmpty())
        fail(ExitNoDevice, QStringLiteral("no device attached"));

    // Every device is flashed, whatever it runs; nothing else is asked of it,
    // and the station approves the file as the flash did.
    Station::Options options;
    options.firmware = firmware;
    options.firmwareFile = fileName;
    options.keys = approval.keyFiles;
    options.requireSignature = approval.requireSignature;
    options.recordFile = QString();
    options.reflashCurrent = true;
    options.attachedOnly = true;
    // Declared before the station, so that it outlives the units that report into it.
    QJsonArray results;
    int failed = 0;
    StationEnd end;
    QEventLoop loop;
    Station station;
    QObject::connect(&station, &Station::unitStarted, [](StationUnit *unit) {
        reportUnitEvents(unit);
        QObject::connect(unit, &StationUnit::opened, [unit] {
            printOut(QStringLiteral("device: %1 (usb %2)\n")
                         .arg(serialText(unit->device()), usbText(unit->device())));
            std::fflush(stdout);
        });
    });
    QObject::connect(&station, &Station::unitEnded, [&](StationUnit *unit) {
        const QJsonObject result = deviceResult(*unit);
        failed += result.value(QStringLiteral("ok")).toBool() ? 0 : 1;
        results.append(result);
        QJsonObject event = result;
        if (!unit->isOpened())
            event.insert(QStringLiteral("exit"), int(ExitDeviceFailed));
        report.event(QStringLiteral("device_result"), event);
        printLine(*unit);
    });
    QObject::connect(&station, &Station::stopped, &loop, [&](const StationEnd &ended) {
        end = ended;
        loop.quit();
    });
    station.start(options);
    if (station.isRunning())
        loop.exec();
    if (end.cause == StationEnd::Cause::FileFailed)
        fail(ExitFileFailed, end.reason);

    const int total = results.size();
    printOut(QStringLiteral("flashed %1 of %2 devices in %3 s\n")
                 .arg(total - failed)
                 .arg(total)
                 .arg(secondsOf(report.clock()), 0, 'f', 2));
    report.addResult(QStringLiteral("devices"), results);
    report.addResult(QStringLiteral("succeeded"), total - failed);
    report.addResult(QStringLiteral("failed"), failed);
    if (failed > 0)
        failOperation(QStringLiteral("flash"), QStringLiteral("%1 of %2 devices").arg(failed).arg(total));
    return ExitSuccess;
}
