#include "devicecommand.h"

#include "clicommon.h"
#include "devicecommandsrun.h"

namespace {

const char deviceOption[] = "  --device SERIAL  the device to work on when several are attached\n";

std::vector<DeviceCommand> makeCommands()
{
    using Devices = DeviceCommand::Devices;
    return {
        {"list", "list [--wait SECONDS]", "list", "the attached devices as the window shows them",
            "\n"
            "Prints, for each attached device, its serial number, board version and\n"
            "firmware version exactly as the window shows them, its mode (application or\n"
            "flashing) and its USB identity (vendor:product in hex, then the USB serial),\n"
            "one \"key: value\" line each, with a blank line between devices. With no device\n"
            "it says so on stderr and still exits with 0.\n",
            0, {}, Devices::Every, runList},
        {"flash",
            "flash [--device SERIAL | --all] [--wait SECONDS] [--queue-depth N] [--key FILE.pub]..."
            " [--require-signature] [--json] FILE",
            "flash FILE", "flash FILE, then start the application",
            "\n"
            "Checks FILE and its signature as the window does (see info), then flashes\n"
            "it; a refused file ends with 1 and its reason, and nothing is written.\n"
            "The device is put into its flashing mode if needed, the image goes out in\n"
            "256-byte batches, and the tool waits until the device has finished writing\n"
            "and reports a valid firmware\n"
            "(a device still busy after two minutes is given up on).\n"
            "Then the device starts its application; the tool waits until it is back\n"
            "there. Exits with 0 only then.\n"
            "Progress is a bar on a terminal and \"progress: N%\" lines otherwise.\n"
            "  --device SERIAL  the device to flash when several are attached\n"
            "  --all            flash every attached device at once, each on its own\n"
            "                   worker thread; a line per device as it ends, then a\n"
            "                   summary; exits with 0 only when every device succeeded\n"
            "  --queue-depth N  batches in flight at once, 1 to 64 (default 8; 1 sends\n"
            "                   one batch at a time)\n"
            "  --key FILE.pub   trust this public key too (repeatable)\n"
            "  --require-signature  refuse FILE when it is not signed\n",
            1,
            signatureOptions()
                + QList<QCommandLineOption> {{QStringLiteral("all"), QString()},
                    {QStringLiteral("queue-depth"), QString(), QStringLiteral("N")}},
            Devices::OneOrAll, runFlash},
        {"station",
            "station [--serials PATTERN --board X.Y --state FILE|--line URI] [--record FILE.jsonl] [--name NAME]"
            " [--count N] [--max-units N] [--reflash-current] [--key FILE.pub]... [--require-signature]"
            " [--expect-sha256 HEX] [--json] FILE",
            "station FILE", "flash every device as it is plugged in, until stopped",
            "\n"
            "Runs as a production station: every device that appears (in either mode) is\n"
            "a unit, flashed with FILE on its own worker thread while others are in\n"
            "progress, followed through its restarts, and left alone once finished until\n"
            "it is unplugged. A device that already runs FILE's version and build is\n"
            "recorded as already current and not flashed. With --serials, a unit without\n"
            "a serial of the range then gets the next one (reserved in the state file\n"
            "first, so none is ever given twice) and the board version. Each unit ends\n"
            "with one line in the record, synced before the unit is reported.\n"
            "Ctrl-C takes no new units and lets those in progress finish; a second\n"
            "Ctrl-C aborts them (recorded as aborted). Exits with 0 when no unit failed.\n"
            "  --serials PATTERN  serials to give, e.g. ZOK{000100..000999}\n"
            "  --board X.Y        board version written with the serial\n"
            "  --state FILE       where the serials given and burnt are kept\n"
            "  --line URI         take serials from the line database (libpq URI or\n"
            "                     key=value string; the password from PGPASSWORD or\n"
            "                     ~/.pgpass), and record every unit there too\n"
            "  --record FILE      the record, JSON Lines (default station-record.jsonl)\n"
            "  --name NAME        the station's name in the record (default the host name)\n"
            "  --count N          end after N units were handled\n"
            "  --max-units N      at most N units at once (default all)\n"
            "  --reflash-current  flash a device that already runs FILE's version\n"
            "  --key FILE.pub     trust this public key too (repeatable)\n"
            "  --require-signature  refuse FILE when it is not signed\n"
            "  --expect-sha256 HEX  refuse to start unless FILE's SHA-256 is HEX\n"
            "FILE and its signature are checked once, at the start, as info does; the\n"
            "record's lines carry its sha256, signature (verified, unsigned) and signer.\n",
            1,
            signatureOptions()
                + QList<QCommandLineOption> {{QStringLiteral("serials"), QString(),
                                                 QStringLiteral("PATTERN")},
                    {QStringLiteral("board"), QString(), QStringLiteral("X.Y")},
                    {QStringLiteral("state"), QString(), QStringLiteral("FILE")},
                    {QStringLiteral("line"), QString(), QStringLiteral("URI")},
                    {QStringLiteral("record"), QString(), QStringLiteral("FILE")},
                    {QStringLiteral("name"), QString(), QStringLiteral("NAME")},
                    {QStringLiteral("count"), QString(), QStringLiteral("N")},
                    {QStringLiteral("max-units"), QString(), QStringLiteral("N")},
                    {QStringLiteral("reflash-current"), QString()},
                    {QStringLiteral("expect-sha256"), QString(), QStringLiteral("HEX")}},
            Devices::Every, runStation, false},
        {"start-app", "start-app [--device SERIAL] [--wait SECONDS]", "start-app",
            "tell the device to start its application",
            "\nTells the device to leave its flashing mode and start its application, and\n"
            "waits until it is back there; a device that comes back in its flashing mode\n"
            "(no valid firmware) fails the command.\n",
            0, {}, Devices::One, runStartApp},
        {"restart", "restart [--device SERIAL] [--wait SECONDS]", "restart", "tell the device to restart",
            "\nTells the device to restart and waits until it is back; says which mode it\n"
            "came back in.\n",
            0, {}, Devices::One, runRestart},
        {"read-config", "read-config [--device SERIAL] [--wait SECONDS] OUT", "read-config OUT",
            "read the factory configuration into OUT",
            "\nReads the device's factory configuration into OUT. A device that sends\n"
            "nothing (no configuration, or a failed read) exits with 5 and writes no OUT.\n",
            1, {}, Devices::One, runReadConfig},
        {"write-config", "write-config [--device SERIAL] [--wait SECONDS] IN", "write-config IN",
            "write IN as the factory configuration",
            "\nWrites the bytes of IN as the device's factory configuration, in its\n"
            "flashing mode; a device that was in its application is started again after,\n"
            "and is back there before the command returns.\n",
            1, {}, Devices::One, runWriteConfig},
        {"read-settings", "read-settings [--device SERIAL] [--wait SECONDS] SLOT OUT",
            "read-settings SLOT OUT", "read user-settings slot SLOT (0-3) into OUT",
            "\nReads user-settings slot SLOT (0 to 3) into OUT. An empty slot (or a failed\n"
            "read) exits with 5 and writes no OUT.\n",
            2, {}, Devices::One, runReadSettings},
        {"write-settings", "write-settings [--device SERIAL] [--wait SECONDS] SLOT IN",
            "write-settings SLOT IN", "write IN into user-settings slot SLOT (0-3)",
            "\nWrites the bytes of IN into user-settings slot SLOT (0 to 3). The device\n"
            "erases all slots at once, so the other slots are read first and written back;\n"
            "an empty IN removes the slot's settings.\n",
            2, {}, Devices::One, runWriteSettings},
        {"clear-settings", "clear-settings [--device SERIAL] [--wait SECONDS]", "clear-settings",
            "erase all user-settings slots",
            "\nErases all four user-settings slots, then reads them back to check.\n", 0, {}, Devices::One,
            runClearSettings},
        {"set-identity",
            "set-identity [--device SERIAL] [--wait SECONDS] --serial S --board X.Y [--hw-type N]",
            "set-identity ...", "write the serial number and board version",
            "\nWrites the device's identity record and checks what the device reports back.\n"
            "  --serial S    serial number, 1 to 16 bytes in UTF-8, no control characters\n"
            "  --board X.Y   board version and sub-version, each 0 to 255\n"
            "  --hw-type N   board hardware type, 0 to 3 (default 0)\n",
            0,
            {{QStringLiteral("serial"), QString(), QStringLiteral("S")},
                {QStringLiteral("board"), QString(), QStringLiteral("X.Y")},
                {QStringLiteral("hw-type"), QString(), QStringLiteral("N")}},
            Devices::One, runSetIdentity},
        {"load-keys", "load-keys [--device SERIAL] [--wait SECONDS] PRIMARY SECONDARY",
            "load-keys PRIMARY SECONDARY", "load two AES-256 keys (32-byte files)",
            "\nLoads two AES-256 keys into the device: PRIMARY and SECONDARY are files of\n"
            "exactly 32 bytes each. The key bytes are wiped from memory once sent.\n",
            2, {}, Devices::One, runLoadKeys},
        {"jtag-lock", "jtag-lock [--device SERIAL] [--wait SECONDS] [--yes]", "jtag-lock [--yes]",
            "lock the JTAG port for good",
            "\nLocks the device's JTAG port. THIS CANNOT BE UNDONE. Asks for confirmation\n"
            "on the terminal unless --yes is given; without a terminal --yes is required.\n"
            "The device gives no answer to this request.\n"
            "  --yes            do not ask\n",
            0, {{QStringLiteral("yes"), QString()}}, Devices::One, runJtagLock},
    };
}

} // namespace

DeviceCommandContext::DeviceCommandContext(const QString &command, const DeviceCommandLine &commandLine)
    : m_command(command)
    , m_commandLine(commandLine)
{ }

DeviceCommandContext::~DeviceCommandContext() = default;

DeviceSession &DeviceCommandContext::session()
{
    if (!m_session)
        m_session = std::make_unique<DeviceSession>(m_command);
    return *m_session;
}

const DeviceSession::Device &DeviceCommandContext::device()
{
    if (!m_device)
        m_device = session().choose(m_commandLine.device(), m_commandLine.waitMs());
    return *m_device;
}

void DeviceCommandContext::fail(int status, const QString &message) const
{
    throw CommandError {ExitStatus(status), m_command, message, QString()};
}

const std::vector<DeviceCommand> &deviceCommands()
{
    static const std::vector<DeviceCommand> commands = makeCommands();
    return commands;
}

const DeviceCommand *findDeviceCommand(const QString &name)
{
    for (const DeviceCommand &command : deviceCommands()) {
        if (name == QLatin1String(command.name))
            return &command;
    }
    return nullptr;
}

int runDeviceCommand(const DeviceCommand &command, const QStringList &arguments)
{
    const QString name = QLatin1String(command.name);
    QString help = QLatin1String(command.help);
    if (command.devices == DeviceCommand::Devices::One)
        help += QLatin1String(deviceOption);
    DeviceCommandLine commandLine(
        name, QStringLiteral("usage: talvex-cli ") + QLatin1String(command.usage), help, command.options);
    if (!commandLine.parse(arguments, command.positional, command.takesWait))
        return ExitSuccess;
    if (command.devices == DeviceCommand::Devices::Every && commandLine.isSet(QStringLiteral("device")))
        commandLine.refuse(QStringLiteral("%1 shows every device; --device does not apply").arg(name));
    DeviceCommandContext context(name, commandLine);
    printOut(command.run(context));
    return ExitSuccess;
}

QString deviceCommandsHelp()
{
    QString text;
    for (const DeviceCommand &command : deviceCommands())
        text += QStringLiteral("  %1  %2\n")
                    .arg(QLatin1String(command.synopsis), -24)
                    .arg(QLatin1String(command.summary));
    return text;
}
