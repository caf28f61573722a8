// talvex-cli flash --all: a line of devices flashed side by side. Each device
// gets a driver that sees only its own path, on a worker thread of its own,
// so that a slow or failing device never holds up another; all drivers
// share the one host (and, with TALVEX_SIMULATOR, the one simulated bus).

#include "clicommon.h"
#include "commandreport.h"
#include "flashrun.h"
#include "loaderoperation.h"
#include "restartwatch.h"

#include "app/deviceside.h"
#include "protocol/usbloaderfactory.h"
#include "usb/host/usbhost.h"
#include "usb/usbdriver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QThread>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

// How often flash --all --wait looks for a first device.
constexpr unsigned long devicePollMs = 100;

// One device of the line and everything that serves it.
struct Station
{
    QString path;
    std::unique_ptr<USBDriver> driver;
    std::unique_ptr<QThread> worker;
    std::unique_ptr<FlashRun> flash;
    std::unique_ptr<RestartWatch> watch;

    ~Station()
    {
        if (worker) {
            // What the run asked of the loader last (starting the application)
            // is done first; the wait for the thread below covers one that is late.
            DeviceSession::waitForWorkerOf(driver.get(), LoaderOperation::answerLimitMs());
            worker->quit();
            worker->wait();
        }
        // Only now that nothing emits to it: see DeviceSession::keepUntilStopped.
        watch.reset();
        flash.reset();
        driver.reset();
    }
};

[[noreturn]] void fail(ExitStatus status, const QString &message)
{
    throw CommandError {status, QStringLiteral("talvex-cli flash: %1").arg(message), QString()};
}

QStringList attachedPaths()
{
    std::vector<std::u16string> found;
    if (!createUsbPlatform().host->listInterfacePaths(DEVICE_INTERFACE_GUID, found))
        fail(ExitDeviceFailed, QStringLiteral("the list of attached devices could not be read"));
    QStringList paths;
    for (const std::u16string &path : found)
        paths << QString::fromStdU16String(path);
    return paths;
}

void startStation(Station &station, const QList<QSharedPointer<UsbInterfaceHandlerFactory>> &factories)
{
    station.driver = std::make_unique<USBDriver>(factories, createUsbPlatform(), QStringList {station.path});
    station.worker = std::make_unique<QThread>();
    station.worker->setObjectName(QStringLiteral("USB driver thread"));
    station.driver->moveToThread(station.worker.get());
    QObject::connect(station.worker.get(), &QThread::started, station.driver.get(), &USBDriver::scanDevices);
    station.worker->start();
}

// notBack: why a flashed device did not come back after its restart; empty when it did.
QJsonObject deviceResult(const FlashRun &flash, const QString &notBack)
{
    const bool ok = flash.status() == ExitSuccess && notBack.isEmpty();
    QJsonObject result = CommandReport::identity(flash.device());
    result.insert(QStringLiteral("ok"), ok);
    result.insert(QStringLiteral("exit"), ok ? int(ExitSuccess) : int(ExitDeviceFailed));
    result.insert(QStringLiteral("seconds"), flash.seconds());
    result.insert(
        QStringLiteral("old_firmware"), CommandReport::firmware(flash.device().firmwareInformation));
    if (ok)
        result.insert(QStringLiteral("new_firmware"), flash.flashedFirmware());
    else
        result.insert(QStringLiteral("reason"), notBack.isEmpty() ? flash.reason() : notBack);
    return result;
}

void printLine(const FlashRun &flash, const QString &notBack)
{
    const QString serial = serialText(flash.device());
    const QString seconds = QString::number(flash.seconds(), 'f', 2);
    if (flash.status() == ExitSuccess && notBack.isEmpty())
        printOut(QStringLiteral("%1: ok, %2, %3 s\n").arg(serial, flash.flashedText(), seconds));
    else
        printOut(QStringLiteral("%1: failed, %2 s: %3\n")
                     .arg(serial, seconds, notBack.isEmpty() ? flash.reason() : notBack));
    std::fflush(stdout);
}

} // namespace

int runFlashAll(const QSharedPointer<FirmwareFile> &firmware, int waitMs)
{
    DeviceSession::startUsbPlatform();
    DeviceSide::registerMetaTypes();
    const QList<QSharedPointer<UsbInterfaceHandlerFactory>> factories {
        QSharedPointer<usbLoaderFactory>::create()};
    CommandReport &report = CommandReport::current();

    QStringList paths = attachedPaths();
    QElapsedTimer waited;
    waited.start();
    while (paths.isEmpty() && waited.elapsed() < waitMs) {
        QThread::msleep(devicePollMs);
        QCoreApplication::processEvents();
        paths = attachedPaths();
    }
    if (paths.isEmpty())
        fail(ExitNoDevice, QStringLiteral("no device attached"));
    // Declared before the stations, so that it outlives the runs that report into it.
    QJsonArray results;
    int failed = 0;
    std::vector<std::unique_ptr<Station>> stations;
    for (const QString &path : paths) {
        stations.push_back(std::make_unique<Station>());
        stations.back()->path = path;
        startStation(*stations.back(), factories);
    }

    QEventLoop loop;
    int running = 0;
    for (const std::unique_ptr<Station> &station : stations) {
        // A first scan that takes longer than any answer may counts as a device that did not open.
        const QList<DeviceSession::Device> found
            = DeviceSession::waitForWorkerOf(station->driver.get(), LoaderOperation::answerLimitMs())
            ? DeviceSession::devicesOf(station->driver.get())
            : QList<DeviceSession::Device>();
        if (found.isEmpty()) {
            // Held by another program, gone already, or not answering as a Vantor device.
            ++failed;
            const QString reason = QStringLiteral("the device at %1 could not be opened").arg(station->path);
            printOut(QStringLiteral("%1\n").arg(reason));
            report.event(QStringLiteral("device_result"),
                {{QStringLiteral("ok"), false}, {QStringLiteral("exit"), int(ExitDeviceFailed)},
                    {QStringLiteral("reason"), reason}});
            results.append(QJsonObject {{QStringLiteral("ok"), false}, {QStringLiteral("reason"), reason}});
            continue;
        }
        const DeviceSession::Device &device = found.first();
        const QString serial = serialText(device);
        report.deviceListed(device);
        printOut(QStringLiteral("device: %1 (usb %2)\n").arg(serial, usbText(device)));
        station->flash = std::make_unique<FlashRun>(station->driver.get(), device, firmware);
        FlashRun *flash = station->flash.get();
        QObject::connect(
            flash, &FlashRun::progress, [&report, serial](int percent) { report.progress(serial, percent); });
        QObject::connect(flash, &FlashRun::finishing, [&report, serial] { report.finishing(serial); });
        // Made before the flash starts, so that it sees the device leave for its restart.
        station->watch = std::make_unique<RestartWatch>(station->driver.get(), device);
        RestartWatch *watch = station->watch.get();
        QObject::connect(flash, &FlashRun::finished, &loop, [&, flash, watch] {
            const auto record = [&, flash](const QString &notBack) {
                const QJsonObject result = deviceResult(*flash, notBack);
                failed += result.value(QStringLiteral("ok")).toBool() ? 0 : 1;
                results.append(result);
                report.event(QStringLiteral("device_result"), result);
                printLine(*flash, notBack);
                if (--running == 0)
                    loop.quit();
            };
            if (flash->status() != ExitSuccess) {
                record(QString());
                return;
            }
            // A device is done once it is back in its new application.
            watch->start(RestartWatch::Mode::Application,
                [record](const QString &failure, const DeviceSession::Device &) { record(failure); });
        });
        ++running;
    }
    std::fflush(stdout);
    for (const std::unique_ptr<Station> &station : stations) {
        if (station->flash)
            station->flash->start();
    }
    if (running > 0)
        loop.exec();

    const int total = int(stations.size());
    printOut(QStringLiteral("flashed %1 of %2 devices in %3 s\n")
                 .arg(total - failed)
                 .arg(total)
                 .arg(CommandReport::secondsOf(report.clock()), 0, 'f', 2));
    report.addResult(QStringLiteral("devices"), results);
    report.addResult(QStringLiteral("succeeded"), total - failed);
    report.addResult(QStringLiteral("failed"), failed);
    stations.clear();
    if (failed > 0)
        fail(ExitDeviceFailed, QStringLiteral("failed: %1 of %2 devices").arg(failed).arg(total));
    return ExitSuccess;
}
