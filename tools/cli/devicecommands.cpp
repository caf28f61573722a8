// talvex-cli list and flash: the attached devices as the window shows them,
// and a flash as the window runs it.

#include "clicommon.h"
#include "commandreport.h"
#include "devicecommandline.h"
#include "devicesession.h"
#include "flashrun.h"

#include "firmware/firmwarefile.h"
#include "protocol/bulktransferwithbatches.h"
#include "protocol/loaderrecords.h"
#include "qtcompat.h"
#include "ui/versiontext.h"
#include "usb/devicepathlist.h"

#include <QEventLoop>
#include <QSharedPointer>

#include <cstdio>
#include <unistd.h>

namespace {

const char listHelp[] = "\n"
                        "Prints, for each attached device, its serial number, board version and\n"
                        "firmware version exactly as the window shows them, its mode (application or\n"
                        "flashing) and its USB identity (vendor:product in hex, then the USB serial),\n"
                        "one \"key: value\" line each, with a blank line between devices. With no device\n"
                        "it says so on stderr and still exits with 0.\n";

const char flashHelp[] = "\n"
                         "Checks FILE as the window does, then flashes it: the device is put into its\n"
                         "flashing mode if needed, the image goes out in 256-byte batches, and the tool\n"
                         "waits until the device has finished writing and reports a valid firmware\n"
                         "(a device still busy after two minutes is given up on).\n"
                         "Then the device is told to start its application. Exits with 0 only then.\n"
                         "Progress is a bar on a terminal and \"progress: N%\" lines otherwise.\n"
                         "  --device SERIAL  the device to flash when several are attached\n"
                         "  --all            flash every attached device at once, each on its own\n"
                         "                   worker thread; a line per device as it ends, then a\n"
                         "                   summary; exits with 0 only when every device succeeded\n"
                         "  --queue-depth N  batches in flight at once, 1 to 64 (default 8; 1 sends\n"
                         "                   one batch at a time)\n";

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

int runList(const QStringList &arguments)
{
    DeviceCommandLine commandLine(QStringLiteral("list"), listUsage, listHelp);
    if (!commandLine.parse(arguments, 0))
        return ExitSuccess;
    if (commandLine.isSet(QStringLiteral("device")))
        commandLine.refuse(QStringLiteral("list shows every device; --device does not apply"));
    DeviceSession session(QStringLiteral("list"));
    const QList<DeviceSession::Device> devices = session.devices();
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
    printOut(text);
    CommandReport::current().addResult(QStringLiteral("devices"), devices.size());
    return ExitSuccess;
}

int runFlash(const QStringList &arguments)
{
    DeviceCommandLine commandLine(QStringLiteral("flash"), flashUsage, flashHelp,
        {{QStringLiteral("all"), QString()},
            {QStringLiteral("queue-depth"), QString(), QStringLiteral("N")}});
    if (!commandLine.parse(arguments, 1))
        return ExitSuccess;
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
        throw CommandError {ExitFileFailed,
            QStringLiteral("talvex-cli flash: %1: %2").arg(fileName, QString::fromLatin1(error.what())),
            QString()};
    }
    if (all)
        return runFlashAll(firmware);

    DeviceSession session(QStringLiteral("flash"));
    const DeviceSession::Device device = session.choose(commandLine.device());
    printOut(QStringLiteral("device: %1 (usb %2)\n").arg(serialText(device), usbText(device)));
    std::fflush(stdout);

    CommandReport &report = CommandReport::current();
    const QString serial = serialText(device);
    ProgressPrinter printer;
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
    const int status = flash.status();
    const QString reason = flash.reason();
    const QJsonObject flashedFirmware = flash.flashedFirmware();
    const QString flashedText = flash.flashedText();
    session.destroyWithWorkerHeld(std::move(run));
    if (status != ExitSuccess)
        throw CommandError {
            ExitStatus(status), QStringLiteral("talvex-cli flash: failed: %1").arg(reason), QString()};

    report.addResult(QStringLiteral("new_firmware"), flashedFirmware);
    printOut(QStringLiteral("flashed: %1\n").arg(flashedText));
    session.waitForWorker();
    return ExitSuccess;
}
