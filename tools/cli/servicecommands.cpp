// talvex-cli's service commands: the device operations the window does not
// offer, each run through the device's loader and judged by what it answers.

#include "clicommon.h"
#include "devicecommandline.h"
#include "devicesession.h"
#include "loaderoperation.h"

#include "protocol/loaderrecords.h"
#include "protocol/securewipe.h"
#include "qtcompat.h"
#include "ui/versiontext.h"

#include <QFile>
#include <QSaveFile>
#include <QTextStream>

#include <cstdio>
#include <functional>
#include <vector>

#include <unistd.h>

namespace {

const char deviceOption[] = "  --device SERIAL  the device to work on when several are attached\n";

struct ServiceCommand
{
    const char *name;
    const char *usage;
    const char *help;
    int (*run)(const QString &name, const QStringList &arguments);
};

[[noreturn]] void fail(const QString &command, int status, const QString &message)
{
    throw CommandError {
        ExitStatus(status), QStringLiteral("talvex-cli %1: %2").arg(command, message), QString()};
}

QByteArray readInput(const QString &command, const QString &fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        fail(command, ExitFileFailed, QStringLiteral("cannot read %1: %2").arg(fileName, file.errorString()));
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        fail(command, ExitFileFailed, QStringLiteral("cannot read %1: %2").arg(fileName, file.errorString()));
    return bytes;
}

// Written to a temporary file beside OUT and renamed into place when complete.
void writeOutput(const QString &command, const QString &fileName, const QByteArray &bytes)
{
    QSaveFile out(fileName);
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.commit())
        fail(command, ExitFileFailed, QStringLiteral("cannot write %1: %2").arg(fileName, out.errorString()));
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
void runOnDevice(const QString &command, const DeviceSession &session, const DeviceSession::Device &device,
    const std::function<void(UsbLoader *, LoaderOperation &)> &start)
{
    auto operation = std::make_unique<LoaderOperation>(session, device);
    const int status = operation->run([&](UsbLoader *loader) { start(loader, *operation); });
    const QString message = operation->message();
    session.destroyWithWorkerHeld(std::move(operation));
    if (status != ExitSuccess)
        fail(command, status, message);
}

void failOnWriteFailure(UsbLoader *loader, LoaderOperation &operation, const QString &what)
{
    operation.finishOnWriteFailure(loader, [what](UsbLoader::Failure failure) {
        return failure == UsbLoader::Failure::DeviceStayedBusy ? deviceStayedBusyText() : what;
    });
}

QByteArray readBlock(const QString &command, const DeviceSession &session,
    const DeviceSession::Device &device, const char *slot, uchar slotNumber)
{
    QByteArray block;
    runOnDevice(command, session, device, [&](UsbLoader *loader, LoaderOperation &operation) {
        QObject::connect(
            loader, &UsbLoader::factoryConfigurationReceived, &operation, [&](const QByteArray &data) {
                block = data;
                operation.finish(ExitSuccess);
            });
        QObject::connect(loader, &UsbLoader::userSettingsReceived, &operation, [&](const QByteArray &data) {
            block = data;
            operation.finish(ExitSuccess);
        });
        if (qstrcmp(slot, "readUserSettings") == 0)
            QMetaObject::invokeMethod(loader, slot, Qt::QueuedConnection, Q_ARG(uchar, slotNumber));
        else
            QMetaObject::invokeMethod(loader, slot, Qt::QueuedConnection);
    });
    return block;
}

int startApp(const QString &command, const QStringList &arguments);
int readConfig(const QString &command, const QStringList &arguments);
int writeConfig(const QString &command, const QStringList &arguments);
int readSettings(const QString &command, const QStringList &arguments);
int writeSettings(const QString &command, const QStringList &arguments);
int clearSettings(const QString &command, const QStringList &arguments);
int setIdentity(const QString &command, const QStringList &arguments);
int loadKeys(const QString &command, const QStringList &arguments);
int jtagLock(const QString &command, const QStringList &arguments);

const ServiceCommand commands[] = {
    {"start-app", startAppUsage,
        "\nTells the device to leave its flashing mode and start its application.\n"
        "The device gives no answer to this request; its effect shows in `list`.\n",
        startApp},
    {"restart", restartUsage,
        "\nTells the device to restart. The device gives no answer to this request;\n"
        "its effect shows in `list`.\n",
        startApp},
    {"read-config", readConfigUsage,
        "\nReads the device's factory configuration into OUT. A device that sends\n"
        "nothing (no configuration, or a failed read) exits with 5 and writes no OUT.\n",
        readConfig},
    {"write-config", writeConfigUsage,
        "\nWrites the bytes of IN as the device's factory configuration, in its\n"
        "flashing mode; a device that was in its application is started again after.\n",
        writeConfig},
    {"read-settings", readSettingsUsage,
        "\nReads user-settings slot SLOT (0 to 3) into OUT. An empty slot (or a failed\n"
        "read) exits with 5 and writes no OUT.\n",
        readSettings},
    {"write-settings", writeSettingsUsage,
        "\nWrites the bytes of IN into user-settings slot SLOT (0 to 3). The device\n"
        "erases all slots at once, so the other slots are read first and written back;\n"
        "an empty IN removes the slot's settings.\n",
        writeSettings},
    {"clear-settings", clearSettingsUsage,
        "\nErases all four user-settings slots, then reads them back to check.\n", clearSettings},
    {"set-identity", setIdentityUsage,
        "\nWrites the device's identity record and checks what the device reports back.\n"
        "  --serial S    serial number, at most 16 bytes in the local encoding\n"
        "  --board X.Y   board version and sub-version, each 0 to 255\n"
        "  --hw-type N   board hardware type, 0 to 3 (default 0)\n",
        setIdentity},
    {"load-keys", loadKeysUsage,
        "\nLoads two AES-256 keys into the device: PRIMARY and SECONDARY are files of\n"
        "exactly 32 bytes each. The key bytes are wiped from memory once sent.\n",
        loadKeys},
    {"jtag-lock", jtagLockUsage,
        "\nLocks the device's JTAG port. THIS CANNOT BE UNDONE. Asks for confirmation\n"
        "on the terminal unless --yes is given; without a terminal --yes is required.\n"
        "The device gives no answer to this request.\n"
        "  --yes            do not ask\n",
        jtagLock},
};

const ServiceCommand *find(const QString &name)
{
    for (const ServiceCommand &command : commands) {
        if (name == QLatin1String(command.name))
            return &command;
    }
    return nullptr;
}

QString helpOf(const QString &command)
{
    return QLatin1String(find(command)->help) + QLatin1String(deviceOption);
}

// Parses the command line; false when only help was asked for.
bool parse(DeviceCommandLine &commandLine, const QStringList &arguments, int positional)
{
    return commandLine.parse(arguments, positional);
}

int startApp(const QString &command, const QStringList &arguments)
{
    const QByteArray help = helpOf(command).toLatin1();
    DeviceCommandLine commandLine(command, find(command)->usage, help.constData());
    if (!parse(commandLine, arguments, 0))
        return ExitSuccess;
    DeviceSession session(command);
    const DeviceSession::Device device = session.choose(commandLine.device());
    const char *slot = command == QLatin1String("restart") ? "restartDevice" : "startApp";
    if (!session.withLoader(device,
            [slot](UsbLoader *loader) { QMetaObject::invokeMethod(loader, slot, Qt::QueuedConnection); }))
        fail(command, ExitDeviceFailed, QStringLiteral("the device is no longer attached"));
    session.waitForWorker();
    printOut(QStringLiteral("sent: %1 to %2\n")
                 .arg(command == QLatin1String("restart") ? QStringLiteral("restart")
                                                          : QStringLiteral("start application"),
                     serialText(device)));
    return ExitSuccess;
}

int readConfig(const QString &command, const QStringList &arguments)
{
    const QByteArray help = helpOf(command).toLatin1();
    DeviceCommandLine commandLine(command, readConfigUsage, help.constData());
    if (!parse(commandLine, arguments, 1))
        return ExitSuccess;
    DeviceSession session(command);
    const QByteArray block
        = readBlock(command, session, session.choose(commandLine.device()), "readFactoryConfiguration", 0);
    if (block.isEmpty())
        fail(command, ExitNothingRead,
            QStringLiteral("the device sent no factory configuration (it has none, or the read failed)"));
    writeOutput(command, commandLine.positional().first(), block);
    printOut(QStringLiteral("read: %1 bytes\n").arg(block.size()));
    return ExitSuccess;
}

int readSettings(const QString &command, const QStringList &arguments)
{
    const QByteArray help = helpOf(command).toLatin1();
    DeviceCommandLine commandLine(command, readSettingsUsage, help.constData());
    if (!parse(commandLine, arguments, 2))
        return ExitSuccess;
    const uchar slot = parseSlot(commandLine, commandLine.positional().first());
    DeviceSession session(command);
    const QByteArray block
        = readBlock(command, session, session.choose(commandLine.device()), "readUserSettings", slot);
    if (block.isEmpty())
        fail(command, ExitNothingRead,
            QStringLiteral("the device sent nothing for slot %1 (it is empty, or the read failed)")
                .arg(slot));
    writeOutput(command, commandLine.positional().at(1), block);
    printOut(QStringLiteral("read: %1 bytes from slot %2\n").arg(block.size()).arg(slot));
    return ExitSuccess;
}

int writeConfig(const QString &command, const QStringList &arguments)
{
    const QByteArray help = helpOf(command).toLatin1();
    DeviceCommandLine commandLine(command, writeConfigUsage, help.constData());
    if (!parse(commandLine, arguments, 1))
        return ExitSuccess;
    const QByteArray block = readInput(command, commandLine.positional().first());
    DeviceSession session(command);
    runOnDevice(command, session, session.choose(commandLine.device()),
        [&](UsbLoader *loader, LoaderOperation &operation) {
            QObject::connect(loader, &UsbLoader::factoryConfigurationSent, &operation,
                [&] { operation.finish(ExitSuccess); });
            failOnWriteFailure(
                loader, operation, QStringLiteral("the device did not take the configuration"));
            QMetaObject::invokeMethod(
                loader, "sendFactoryConfiguration", Qt::QueuedConnection, Q_ARG(QByteArray, block));
        });
    printOut(QStringLiteral("written: %1 bytes of factory configuration\n").arg(block.size()));
    return ExitSuccess;
}

int writeSettings(const QString &command, const QStringList &arguments)
{
    const QByteArray help = helpOf(command).toLatin1();
    DeviceCommandLine commandLine(command, writeSettingsUsage, help.constData());
    if (!parse(commandLine, arguments, 2))
        return ExitSuccess;
    const uchar slot = parseSlot(commandLine, commandLine.positional().first());
    const QByteArray block = readInput(command, commandLine.positional().at(1));
    DeviceSession session(command);
    runOnDevice(command, session, session.choose(commandLine.device()),
        [&](UsbLoader *loader, LoaderOperation &operation) {
            QObject::connect(
                loader, &UsbLoader::userSettingsSent, &operation, [&] { operation.finish(ExitSuccess); });
            failOnWriteFailure(loader, operation,
                QStringLiteral("the settings were not written; after a failed write the slots not yet "
                               "written back are empty"));
            QMetaObject::invokeMethod(loader, "sendUserSettings", Qt::QueuedConnection,
                Q_ARG(QByteArray, block), Q_ARG(uchar, slot));
        });
    printOut(QStringLiteral("written: %1 bytes into slot %2\n").arg(block.size()).arg(slot));
    return ExitSuccess;
}

int clearSettings(const QString &command, const QStringList &arguments)
{
    const QByteArray help = helpOf(command).toLatin1();
    DeviceCommandLine commandLine(command, clearSettingsUsage, help.constData());
    if (!parse(commandLine, arguments, 0))
        return ExitSuccess;
    DeviceSession session(command);
    const DeviceSession::Device device = session.choose(commandLine.device());
    if (!session.withLoader(device, [](UsbLoader *loader) {
            QMetaObject::invokeMethod(loader, "clearAllUserSettings", Qt::QueuedConnection);
        }))
        fail(command, ExitDeviceFailed, QStringLiteral("the device is no longer attached"));
    // The erase has no answer of its own: the slots read back tell.
    for (uchar slot = 0; slot < 4; ++slot) {
        if (!readBlock(command, session, device, "readUserSettings", slot).isEmpty())
            fail(command, ExitDeviceFailed,
                QStringLiteral("slot %1 still holds settings after the erase").arg(slot));
    }
    printOut(QStringLiteral("erased: all user settings\n"));
    return ExitSuccess;
}

int setIdentity(const QString &command, const QStringList &arguments)
{
    const QByteArray help = helpOf(command).toLatin1();
    DeviceCommandLine commandLine(command, setIdentityUsage, help.constData(),
        {{QStringLiteral("serial"), QString(), QStringLiteral("S")},
            {QStringLiteral("board"), QString(), QStringLiteral("X.Y")},
            {QStringLiteral("hw-type"), QString(), QStringLiteral("N")}});
    if (!parse(commandLine, arguments, 0))
        return ExitSuccess;
    if (!commandLine.isSet(QStringLiteral("serial")) || !commandLine.isSet(QStringLiteral("board")))
        commandLine.refuse(QStringLiteral("--serial and --board are required"));
    const QString serial = commandLine.value(QStringLiteral("serial"));
    if (QtCompat::toLocal8Bit(serial).size() > 16)
        commandLine.refuse(QStringLiteral("--serial \"%1\" is %2 bytes long; at most 16 fit")
                               .arg(serial)
                               .arg(QtCompat::toLocal8Bit(serial).size()));
    const QStringList board = commandLine.value(QStringLiteral("board")).split(QLatin1Char('.'));
    bool versionOk = false;
    bool subversionOk = false;
    const uint version = board.value(0).toUInt(&versionOk);
    const uint subversion = board.value(1).toUInt(&subversionOk);
    if (board.size() != 2 || !versionOk || !subversionOk || version > 255 || subversion > 255)
        commandLine.refuse(QStringLiteral("--board \"%1\" is not of the form X.Y (0 to 255 each)")
                               .arg(commandLine.value(QStringLiteral("board"))));
    uint hwType = 0;
    if (commandLine.isSet(QStringLiteral("hw-type"))) {
        bool ok = false;
        hwType = commandLine.value(QStringLiteral("hw-type")).toUInt(&ok);
        if (!ok || hwType > 3)
            commandLine.refuse(QStringLiteral("--hw-type \"%1\" is not 0 to 3")
                                   .arg(commandLine.value(QStringLiteral("hw-type"))));
    }

    DeviceSession session(command);
    QString reported;
    QString asked = QStringLiteral("%1 %2 %3")
                        .arg(serial, boardVersionText(uchar(version), uchar(subversion)))
                        .arg(hwType);
    int freeSlots = -1;
    runOnDevice(command, session, session.choose(commandLine.device()),
        [&](UsbLoader *loader, LoaderOperation &operation) {
            QObject::connect(loader, &UsbLoader::deviceInformationChanged, &operation,
                [&](bool, const QString &sn, uchar board, uchar sub, uchar type, bool) {
                    reported = QStringLiteral("%1 %2 %3").arg(sn, boardVersionText(board, sub)).arg(type);
                });
            QObject::connect(
                loader, &UsbLoader::deviceInformationFreeSlotsChanged, &operation, [&](uchar count) {
                    freeSlots = count;
                    operation.finish(ExitSuccess);
                });
            failOnWriteFailure(
                loader, operation, QStringLiteral("the device did not take the identity record"));
            QMetaObject::invokeMethod(loader, "flashDeviceInformation", Qt::QueuedConnection,
                Q_ARG(QString, serial), Q_ARG(uchar, uchar(version)), Q_ARG(uchar, uchar(subversion)),
                Q_ARG(uchar, uchar(hwType)));
        });
    if (reported != asked)
        fail(command, ExitDeviceFailed,
            QStringLiteral("the device reports \"%1\" (serial, board, hardware type), not what was written")
                .arg(reported));
    printOut(QStringLiteral("identity: %1\nboard: %2\nfree-slots: %3\n")
                 .arg(serial, boardVersionText(uchar(version), uchar(subversion)))
                 .arg(freeSlots));
    return ExitSuccess;
}

std::vector<uint8_t> readKey(const QString &command, const QString &fileName)
{
    QByteArray bytes = readInput(command, fileName);
    if (bytes.size() != 32) {
        const int size = bytes.size();
        secureWipe(bytes);
        fail(command, ExitFileFailed,
            QStringLiteral("%1 holds %2 bytes; an AES-256 key is exactly 32").arg(fileName).arg(size));
    }
    std::vector<uint8_t> key(bytes.begin(), bytes.end());
    secureWipe(bytes);
    return key;
}

int loadKeys(const QString &command, const QStringList &arguments)
{
    const QByteArray help = helpOf(command).toLatin1();
    DeviceCommandLine commandLine(command, loadKeysUsage, help.constData());
    if (!parse(commandLine, arguments, 2))
        return ExitSuccess;
    std::vector<uint8_t> primary = readKey(command, commandLine.positional().at(0));
    std::vector<uint8_t> secondary = readKey(command, commandLine.positional().at(1));
    DeviceSession session(command);
    int freeSlots = -1;
    const auto wipe = [&] {
        secureWipe(primary);
        secureWipe(secondary);
    };
    try {
        runOnDevice(command, session, session.choose(commandLine.device()),
            [&](UsbLoader *loader, LoaderOperation &operation) {
                QObject::connect(
                    loader, &UsbLoader::deviceInformationFreeSlotsChanged, &operation, [&](uchar count) {
                        freeSlots = count;
                        operation.finish(ExitSuccess);
                    });
                failOnWriteFailure(loader, operation, QStringLiteral("the device did not take the keys"));
                QMetaObject::invokeMethod(loader, "flashAes256Keys", Qt::QueuedConnection,
                    Q_ARG(std::vector<uint8_t>, primary), Q_ARG(std::vector<uint8_t>, secondary));
            });
    } catch (...) {
        wipe();
        throw;
    }
    wipe();
    printOut(QStringLiteral("keys: loaded\nfree-slots: %1\n").arg(freeSlots));
    return ExitSuccess;
}

int jtagLock(const QString &command, const QStringList &arguments)
{
    const QByteArray help = helpOf(command).toLatin1();
    DeviceCommandLine commandLine(
        command, jtagLockUsage, help.constData(), {{QStringLiteral("yes"), QString()}});
    if (!parse(commandLine, arguments, 0))
        return ExitSuccess;
    DeviceSession session(command);
    const DeviceSession::Device device = session.choose(commandLine.device());
    if (!commandLine.isSet(QStringLiteral("yes"))) {
        if (!isatty(fileno(stdin)))
            commandLine.refuse(QStringLiteral("locking JTAG cannot be undone; confirm with --yes"));
        printErr(QStringLiteral("This locks the JTAG port of device %1 for good; it cannot be undone.\n"
                                "Type \"yes\" to go on: ")
                     .arg(serialText(device)));
        QTextStream input(stdin);
        if (input.readLine().trimmed() != QLatin1String("yes"))
            fail(command, ExitUsage, QStringLiteral("not confirmed; nothing was sent"));
    }
    if (!session.withLoader(device, [](UsbLoader *loader) {
            QMetaObject::invokeMethod(loader, "enableJtagProtection", Qt::QueuedConnection);
        }))
        fail(command, ExitDeviceFailed, QStringLiteral("the device is no longer attached"));
    session.waitForWorker();
    printOut(QStringLiteral("sent: JTAG lock to %1\n").arg(serialText(device)));
    return ExitSuccess;
}

} // namespace

bool isServiceCommand(const QString &command)
{
    return find(command) != nullptr;
}

int runServiceCommand(const QString &command, const QStringList &arguments)
{
    const ServiceCommand *found = find(command);
    return found ? found->run(command, arguments) : -1;
}
