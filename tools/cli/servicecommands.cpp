// talvex-cli's service commands: the device operations the window does not
// offer, each run through the device's loader and judged by what it answers.

#include "clicommon.h"
#include "devicecommand.h"
#include "devicecommandsrun.h"
#include "loaderoperation.h"

#include "firmware/versiontext.h"
#include "protocol/loaderrecords.h"
#include "protocol/loadertiming.h"
#include "protocol/securewipe.h"
#include "station/identityrun.h"

#include <QEventLoop>
#include <QFile>
#include <QSaveFile>
#include <QTextStream>

#include <cstdio>
#include <functional>
#include <vector>

#include <unistd.h>

namespace {

QByteArray readInput(const DeviceCommandContext &context, const QString &fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        context.fail(ExitFileFailed, QStringLiteral("cannot read %1: %2").arg(fileName, file.errorString()));
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        context.fail(ExitFileFailed, QStringLiteral("cannot read %1: %2").arg(fileName, file.errorString()));
    return bytes;
}

// Written to a temporary file beside OUT and renamed into place when complete.
void writeOutput(const DeviceCommandContext &context, const QString &fileName, const QByteArray &bytes)
{
    QSaveFile out(fileName);
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.commit())
        context.fail(ExitFileFailed, QStringLiteral("cannot write %1: %2").arg(fileName, out.errorString()));
}

uchar parseSlot(const DeviceCommandLine &commandLine, const QString &text)
{
    bool ok = false;
    const uint slot = text.toUInt(&ok);
    if (!ok || slot > 3 || text.startsWith(QLatin1Char('+')))
        commandLine.refuse(QStringLiteral("SLOT \"%1\" is not a slot number (0 to 3)").arg(text));
    return uchar(slot);
}

// Runs one operation on the chosen device: start connects the loader's
// answers to the operation and asks for it. Ends the command on failure.
void runOnDevice(
    DeviceCommandContext &context, const std::function<void(UsbLoader *, LoaderOperation &)> &start)
{
    const DeviceSession::Device &device = context.device();
    DeviceSession &session = context.session();
    auto operation = std::make_unique<LoaderOperation>(session, device);
    const int status = operation->run([&](UsbLoader *loader) { start(loader, *operation); });
    const QString message = operation->message();
    session.loaders().destroyWithWorkerHeld(std::move(operation));
    if (status != ExitSuccess)
        context.fail(status, message);
}

// Sends a request the device gives no answer to, and waits until the loader
// has sent it.
void sendWithoutAnswer(DeviceCommandContext &context, void (UsbLoader::*request)())
{
    const DeviceSession::Device &device = context.device();
    DeviceSession &session = context.session();
    if (!session.loaders().withLoader(device, [request](UsbLoader *loader) { askLoader(loader, request); }))
        context.fail(ExitDeviceFailed, QStringLiteral("the device is no longer attached"));
    session.waitForWorker(LoaderTiming::answerLimitMs());
}

void failOnWriteFailure(UsbLoader *loader, LoaderOperation &operation, const QString &what)
{
    operation.finishOnWriteFailure(loader, [what](UsbLoader::Failure failure) {
        return failure == UsbLoader::Failure::DeviceStayedBusy ? LoaderTiming::deviceStayedBusyText() : what;
    });
}

QByteArray readFactoryConfiguration(DeviceCommandContext &context)
{
    QByteArray block;
    runOnDevice(context, [&](UsbLoader *loader, LoaderOperation &operation) {
        QObject::connect(
            loader, &UsbLoader::factoryConfigurationReceived, &operation, [&](const QByteArray &data) {
                block = data;
                operation.finish(ExitSuccess);
            });
        askLoader(loader, &UsbLoader::readFactoryConfiguration);
    });
    return block;
}

QByteArray readUserSettings(DeviceCommandContext &context, uchar slot)
{
    QByteArray block;
    runOnDevice(context, [&](UsbLoader *loader, LoaderOperation &operation) {
        QObject::connect(loader, &UsbLoader::userSettingsReceived, &operation, [&](const QByteArray &data) {
            block = data;
            operation.finish(ExitSuccess);
        });
        askLoader(loader, &UsbLoader::readUserSettings, slot);
    });
    return block;
}

std::vector<uint8_t> readKey(const DeviceCommandContext &context, const QString &fileName)
{
    QByteArray bytes = readInput(context, fileName);
    if (bytes.size() != 32) {
        const int size = bytes.size();
        secureWipe(bytes);
        context.fail(ExitFileFailed,
            QStringLiteral("%1 holds %2 bytes; an AES-256 key is exactly 32").arg(fileName).arg(size));
    }
    std::vector<uint8_t> key(bytes.begin(), bytes.end());
    secureWipe(bytes);
    return key;
}

// Writes the identity record and reads it back; the free slots left, or
// the command ends.
int writeIdentity(DeviceCommandContext &context, const IdentityRun::Identity &identity)
{
    DeviceSession &session = context.session();
    auto run = std::make_unique<IdentityRun>(session.driver(), context.device(), identity);
    QEventLoop loop;
    QObject::connect(run.get(), &IdentityRun::finished, &loop, &QEventLoop::quit);
    run->start();
    if (!run->isFinished())
        loop.exec();
    const bool written = run->succeeded();
    const QString reason = run->reason();
    const int freeSlots = run->freeSlots();
    session.loaders().destroyWithWorkerHeld(std::move(run));
    if (!written)
        context.fail(ExitDeviceFailed, reason);
    return freeSlots;
}

} // namespace

QString runStartApp(DeviceCommandContext &context)
{
    const DeviceSession::Device back = context.session().followRestart(context.device(),
        RestartWatch::Mode::Application, [&] { sendWithoutAnswer(context, &UsbLoader::startApp); });
    return QStringLiteral("sent: start application to %1\ndevice back in %2 mode\n")
        .arg(serialText(context.device()), RestartWatch::modeText(back));
}

QString runRestart(DeviceCommandContext &context)
{
    const DeviceSession::Device back = context.session().followRestart(context.device(),
        RestartWatch::Mode::Any, [&] { sendWithoutAnswer(context, &UsbLoader::restartDevice); });
    return QStringLiteral("sent: restart to %1\ndevice back in %2 mode\n")
        .arg(serialText(context.device()), RestartWatch::modeText(back));
}

QString runReadConfig(DeviceCommandContext &context)
{
    const QByteArray block = readFactoryConfiguration(context);
    if (block.isEmpty())
        context.fail(ExitNothingRead,
            QStringLiteral("the device sent no factory configuration (it has none, or the read failed)"));
    writeOutput(context, context.commandLine().positional().first(), block);
    return QStringLiteral("read: %1 bytes\n").arg(block.size());
}

QString runReadSettings(DeviceCommandContext &context)
{
    const uchar slot = parseSlot(context.commandLine(), context.commandLine().positional().first());
    const QByteArray block = readUserSettings(context, slot);
    if (block.isEmpty())
        context.fail(ExitNothingRead,
            QStringLiteral("the device sent nothing for slot %1 (it is empty, or the read failed)")
                .arg(slot));
    writeOutput(context, context.commandLine().positional().at(1), block);
    return QStringLiteral("read: %1 bytes from slot %2\n").arg(block.size()).arg(slot);
}

QString runWriteConfig(DeviceCommandContext &context)
{
    const QByteArray block = readInput(context, context.commandLine().positional().first());
    const auto write = [&] {
        runOnDevice(context, [&](UsbLoader *loader, LoaderOperation &operation) {
            QObject::connect(loader, &UsbLoader::factoryConfigurationSent, &operation,
                [&] { operation.finish(ExitSuccess); });
            failOnWriteFailure(
                loader, operation, QStringLiteral("the device did not take the configuration"));
            askLoader(loader, &UsbLoader::sendFactoryConfiguration, block);
        });
    };
    // The write takes the device into its flashing mode; one that was in its
    // application is started again after, and is back before this returns.
    if (context.device().flashingMode)
        write();
    else
        context.session().followRestart(context.device(), RestartWatch::Mode::Application, write);
    return QStringLiteral("written: %1 bytes of factory configuration\n").arg(block.size());
}

QString runWriteSettings(DeviceCommandContext &context)
{
    const uchar slot = parseSlot(context.commandLine(), context.commandLine().positional().first());
    const QByteArray block = readInput(context, context.commandLine().positional().at(1));
    runOnDevice(context, [&](UsbLoader *loader, LoaderOperation &operation) {
        QObject::connect(
            loader, &UsbLoader::userSettingsSent, &operation, [&] { operation.finish(ExitSuccess); });
        failOnWriteFailure(loader, operation,
            QStringLiteral("the settings were not written; after a failed write the slots not yet "
                           "written back are empty"));
        askLoader(loader, &UsbLoader::sendUserSettings, block, slot);
    });
    return QStringLiteral("written: %1 bytes into slot %2\n").arg(block.size()).arg(slot);
}

QString runClearSettings(DeviceCommandContext &context)
{
    sendWithoutAnswer(context, &UsbLoader::clearAllUserSettings);
    // The erase has no answer of its own: the slots read back tell.
    for (uchar slot = 0; slot < 4; ++slot) {
        if (!readUserSettings(context, slot).isEmpty())
            context.fail(
                ExitDeviceFailed, QStringLiteral("slot %1 still holds settings after the erase").arg(slot));
    }
    return QStringLiteral("erased: all user settings\n");
}

QString runSetIdentity(DeviceCommandContext &context)
{
    const DeviceCommandLine &commandLine = context.commandLine();
    if (!commandLine.isSet(QStringLiteral("serial")) || !commandLine.isSet(QStringLiteral("board")))
        commandLine.refuse(QStringLiteral("--serial and --board are required"));
    const QString serial = commandLine.value(QStringLiteral("serial"));
    const QString serialRefusal = serialNumberRefusal(serial);
    if (!serialRefusal.isEmpty())
        commandLine.refuse(QStringLiteral("--serial \"%1\" %2").arg(serial, serialRefusal));
    const std::pair<uchar, uchar> board = commandLine.boardVersion();
    const uchar version = board.first;
    const uchar subversion = board.second;
    uint hwType = 0;
    if (commandLine.isSet(QStringLiteral("hw-type"))) {
        bool ok = false;
        hwType = commandLine.value(QStringLiteral("hw-type")).toUInt(&ok);
        if (!ok || hwType > 3)
            commandLine.refuse(QStringLiteral("--hw-type \"%1\" is not 0 to 3")
                                   .arg(commandLine.value(QStringLiteral("hw-type"))));
    }

    const IdentityRun::Identity asked {serial, version, subversion, uchar(hwType)};
    const int freeSlots = writeIdentity(context, asked);
    return QStringLiteral("identity: %1\nboard: %2\nfree-slots: %3\n")
        .arg(serial, boardVersionText(version, subversion))
        .arg(freeSlots);
}

QString runLoadKeys(DeviceCommandContext &context)
{
    std::vector<uint8_t> primary = readKey(context, context.commandLine().positional().at(0));
    std::vector<uint8_t> secondary = readKey(context, context.commandLine().positional().at(1));
    int freeSlots = -1;
    const auto wipe = [&] {
        secureWipe(primary);
        secureWipe(secondary);
    };
    try {
        runOnDevice(context, [&](UsbLoader *loader, LoaderOperation &operation) {
            QObject::connect(
                loader, &UsbLoader::deviceInformationFreeSlotsChanged, &operation, [&](uchar count) {
                    freeSlots = count;
                    operation.finish(ExitSuccess);
                });
            failOnWriteFailure(loader, operation, QStringLiteral("the device did not take the keys"));
            // The call's own copies of the keys are wiped once the loader has them.
            QMetaObject::invokeMethod(
                loader,
                [loader, primary, secondary]() mutable {
                    loader->flashAes256Keys(primary, secondary);
                    secureWipe(primary);
                    secureWipe(secondary);
                },
                Qt::QueuedConnection);
        });
    } catch (...) {
        wipe();
        throw;
    }
    wipe();
    return QStringLiteral("keys: loaded\nfree-slots: %1\n").arg(freeSlots);
}

QString runJtagLock(DeviceCommandContext &context)
{
    const DeviceSession::Device &device = context.device();
    if (!context.commandLine().isSet(QStringLiteral("yes"))) {
        if (!isatty(fileno(stdin)))
            context.commandLine().refuse(QStringLiteral("locking JTAG cannot be undone; confirm with --yes"));
        printErr(QStringLiteral("This locks the JTAG port of device %1 for good; it cannot be undone.\n"
                                "Type \"yes\" to go on: ")
                     .arg(serialText(device)));
        QTextStream input(stdin);
        if (input.readLine().trimmed() != QLatin1String("yes"))
            context.fail(ExitUsage, QStringLiteral("not confirmed; nothing was sent"));
    }
    sendWithoutAnswer(context, &UsbLoader::enableJtagProtection);
    return QStringLiteral("sent: JTAG lock to %1\n").arg(serialText(device));
}
