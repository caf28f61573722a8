// talvex-cli list and flash: the attached devices as the window shows them,
// and a flash as the window runs it.

#include "clicommon.h"
#include "devicecommandline.h"
#include "devicesession.h"
#include "loaderoperation.h"

#include "firmware/firmwarefile.h"
#include "protocol/loaderrecords.h"
#include "ui/versiontext.h"

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
                         "waits until the device has finished writing and reports a valid firmware.\n"
                         "Then the device is told to start its application. Exits with 0 only then.\n"
                         "Progress is a bar on a terminal and \"progress: N%\" lines otherwise.\n"
                         "  --device SERIAL  the device to flash when several are attached\n";

QString firmwareText(const UsbLoader::TFirmwareInformation &record)
{
    if (!isValid(record))
        return firmwareVersionPlaceholder();
    return formatVersion(record.version, record.subversion, record.bugfix, buildNumber(record),
        QString::fromLocal8Bit(fieldText(record.name, sizeof record.name)));
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
        if (percent == m_last)
            return;
        m_last = percent;
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
        if (percent == 100)
            finishing();
    }

    int last() const { return m_last; }

private:
    void finishing()
    {
        printOut(QStringLiteral("%1waiting for the device to finish writing...\n")
                     .arg(m_terminal ? QStringLiteral("\n") : QString()));
        std::fflush(stdout);
    }

    static constexpr int barWidth = 40;
    bool m_terminal;
    int m_last = -1;
};

// What the progress seen so far says about a failed flash.
QString flashFailure(int lastProgress)
{
    if (lastProgress < 0)
        return QStringLiteral("the device did not enter its flashing mode, or refused the image");
    if (lastProgress < 100)
        return QStringLiteral("the transfer broke off at %1%; the device stays in its flashing mode")
            .arg(lastProgress);
    return QStringLiteral("the device did not accept the image: it reports no valid firmware");
}

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
    if (devices.isEmpty())
        printErr(QStringLiteral("talvex-cli list: no device attached\n"));
    QString text;
    for (const DeviceSession::Device &device : devices) {
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
    return ExitSuccess;
}

int runFlash(const QStringList &arguments)
{
    DeviceCommandLine commandLine(QStringLiteral("flash"), flashUsage, flashHelp);
    if (!commandLine.parse(arguments, 1))
        return ExitSuccess;
    const QString fileName = commandLine.positional().first();
    auto firmware = QSharedPointer<FirmwareFile>::create();
    try {
        firmware->loadFile(fileName);
    } catch (const FirmwareFile::fileCorruptedError &error) {
        throw CommandError {ExitFileFailed,
            QStringLiteral("talvex-cli flash: %1: %2").arg(fileName, QString::fromLatin1(error.what())),
            QString()};
    }

    DeviceSession session(QStringLiteral("flash"));
    const DeviceSession::Device device = session.choose(commandLine.device());
    printOut(QStringLiteral("device: %1 (usb %2)\n").arg(serialText(device), usbText(device)));
    std::fflush(stdout);

    ProgressPrinter progress;
    QString flashed;
    LoaderOperation operation(session, device);
    const int status = operation.run([&](UsbLoader *loader) {
        QObject::connect(loader, &UsbLoader::programmingProgress, &operation,
            [&](int percent) { progress.show(percent); });
        QObject::connect(loader, &UsbLoader::firmwareReprogrammed, &operation,
            [&](uchar version, uchar subversion, uchar bugfix, uint build, const QString &name) {
                flashed = formatVersion(version, subversion, bugfix, build, name);
                operation.finish(ExitSuccess);
            });
        QObject::connect(loader, &UsbLoader::firmwareReprogrammingFailed, &operation,
            [&] { operation.finish(ExitDeviceFailed, flashFailure(progress.last())); });
        QMetaObject::invokeMethod(
            loader, "flashFirmware", Qt::QueuedConnection, Q_ARG(QSharedPointer<FirmwareFile>, firmware));
    });
    if (status != ExitSuccess)
        throw CommandError {ExitStatus(status),
            QStringLiteral("talvex-cli flash: failed: %1").arg(operation.message()), QString()};

    printOut(QStringLiteral("flashed: %1\n").arg(flashed));
    // As the window does once the user has read its message: a device that was
    // already in flashing mode is started here.
    session.withLoader(device,
        [](UsbLoader *loader) { QMetaObject::invokeMethod(loader, "startApp", Qt::QueuedConnection); });
    session.waitForWorker();
    return ExitSuccess;
}
