// talvex-cli list and flash: the attached devices as the window shows them,
// and a flash as the window runs it.

#include "clicommon.h"
#include "commandreport.h"
#include "devicecommand.h"
#include "devicecommandsrun.h"
#include "flashall.h"
#include "loaderoperation.h"

#include "firmware/firmwarefile.h"
#include "firmware/versiontext.h"
#include "protocol/bulktransferwithbatches.h"
#include "protocol/loaderrecords.h"
#include "qtcompat.h"
#include "station/flashrun.h"
#include "usb/devicepathlist.h"

#include <QEventLoop>
#include <QSharedPointer>

#include <cstdio>
#include <unistd.h>

namespace {

QString firmwareText(const UsbLoader::TFirmwareInformation &record)
{
    if (!isValid(record))
        return firmwareVersionPlaceholder();
    return formatVersion(record.version, record.subversion, record.bugfix, buildNumber(record),
        QtCompat::fromLocal8Bit(fieldText(record.name, sizeof record.name)));
}

// Shows the percentage as it comes, as a bar on a terminal and as lines elsewhere.
class ProgressPrinter
{
public:
    ProgressPrinter()
        : m_terminal(isatty(fileno(stdout)))
    { }

    void show(int percent)
    {
        if (!m_terminal) {
            printOut(QStringLiteral("progress: %1%\n").arg(percent));
        } else {
            const int filled = percent * barWidth / 100;
            printOut(
                QStringLiteral("\r%1% [%2%3]")
                    .arg(percent, 3)
                    .arg(QString(filled, QLatin1Char('#')), QString(barWidth - filled, QLatin1Char('.'))));
        }
        std::fflush(stdout);
    }

    void finishing()
    {
        printOut(QStringLiteral("%1waiting for the device to finish writing...\n")
                     .arg(m_terminal ? QStringLiteral("\n") : QString()));
        std::fflush(stdout);
    }

private:
    static constexpr int barWidth = 40;
    bool m_terminal;
};

} // namespace

QString runList(DeviceCommandContext &context)
{
    DeviceSession &session = context.session();
    session.waitForAnyDevice(context.commandLine().waitMs());
    const QList<DeviceSession::Device> devices = session.loaders().devices();
    const QString advice = session.inaccessibleAdvice();
    if (!advice.isEmpty())
        printErr(QStringLiteral("talvex-cli list: a device is present that this user may not open\n") + advice
            + QLatin1Char('\n'));
    // Tried again by the driver for a few seconds; one scan here shows what is true now.
    const QStringList notAnswering = session.driver()->notAnsweringDevices()->paths();
    for (const QString &path : notAnswering)
        printErr(
            QStringLiteral("talvex-cli list: %1: not answering (its records could not be read)\n").arg(path));
    if (advice.isEmpty() && notAnswering.isEmpty() && devices.isEmpty())
        printErr(QStringLiteral("talvex-cli list: no device attached\n"));
    QString text;
    for (const DeviceSession::Device &device : devices) {
        CommandReport::current().deviceListed(device);
        if (!text.isEmpty())
            text += QLatin1Char('\n');
        text += QStringLiteral("serial: %1\nboard: %2\nfirmware: %3\nmode: %4\nusb: %5\n")
                    .arg(serialText(device),
                        boardVersionText(
                            device.deviceInformation.boardVersion, device.deviceInformation.boardSubversion),
                        firmwareText(device.firmwareInformation),
                        device.flashingMode ? QStringLiteral("flashing") : QStringLiteral("application"),
                        usbText(device));
    }
    CommandReport::current().addResult(QStringLiteral("devices"), devices.size());
    return text;
}

QString runFlash(DeviceCommandContext &context)
{
    const DeviceCommandLine &commandLine = context.commandLine();
    const bool all = commandLine.isSet(QStringLiteral("all"));
    if (all && commandLine.isSet(QStringLiteral("device")))
        commandLine.refuse(QStringLiteral("--all flashes every device; --device does not apply"));
    if (commandLine.isSet(QStringLiteral("queue-depth"))) {
        const QString text = commandLine.value(QStringLiteral("queue-depth"));
        bool ok = false;
        const int depth = text.toInt(&ok);
        if (!ok || depth < 1 || depth > BulkTransferWithBatches::maxQueueDepth
            || text.startsWith(QLatin1Char('+')))
            commandLine.refuse(QStringLiteral("--queue-depth \"%1\" is not a number from 1 to %2")
                                   .arg(text)
                                   .arg(BulkTransferWithBatches::maxQueueDepth));
        BulkTransferWithBatches::setQueueDepth(depth);
    }
    const QString fileName = commandLine.positional().first();
    auto firmware = QSharedPointer<FirmwareFile>::create();
    try {
        firmware->loadFile(fileName);
    } catch (const FirmwareFile::fileCorruptedError &error) {
        throw CommandError {ExitFileFailed, QStringLiteral("flash"),
            QStringLiteral("%1: %2").arg(fileName, error.reason()), QString()};
    }
    const FlashApproval::Options approval {
        commandLine.values(QStringLiteral("key")), commandLine.isSet(QStringLiteral("require-signature"))};
    // Before any device is opened: a refused file writes nothing anywhere.
    failIfRefused(QStringLiteral("flash"), fileName,
        checkSignature(QStringLiteral("flash"), *firmware, fileName, approval));
    if (all) {
        runFlashAll(firmware, fileName, approval, commandLine.waitMs());
        return QString();
    }

    const DeviceSession::Device device = context.device();
    DeviceSession &session = context.session();
    printOut(QStringLiteral("device: %1 (usb %2)\n").arg(serialText(device), usbText(device)));
    std::fflush(stdout);

    CommandReport &report = CommandReport::current();
    const QString serial = serialText(device);
    ProgressPrinter printer;
    QJsonObject flashedFirmware;
    QString flashedText;
    const auto flashDevice = [&] {
        auto run = std::make_unique<FlashRun>(session.driver(), device, firmware);
        FlashRun &flash = *run;
        QEventLoop loop;
        QObject::connect(&flash, &FlashRun::progress, [&](int percent) {
            printer.show(percent);
            report.progress(serial, percent);
        });
        QObject::connect(&flash, &FlashRun::finishing, [&] {
            printer.finishing();
            report.finishing(serial);
        });
        QObject::connect(&flash, &FlashRun::finished, &loop, &QEventLoop::quit);
        flash.start();
        if (!flash.isFinished())
            loop.exec();
        const bool succeeded = flash.succeeded();
        const QString reason = flash.reason();
        flashedFirmware = flash.flashedFirmware();
        flashedText = flash.flashedText();
        session.loaders().destroyWithWorkerHeld(std::move(run));
        if (!succeeded)
            failOperation(QStringLiteral("flash"), reason);
    };
    // The device ends the flash starting its new application; the command
    // returns once it is back there.
    session.followRestart(device, RestartWatch::Mode::Application, flashDevice);
    report.addResult(QStringLiteral("new_firmware"), flashedFirmware);
    return QStringLiteral("flashed: %1\n").arg(flashedText);
}
