// talvex-cli: checks firmware files as the updater does (`info`), writes them
// for people who build and ship firmware (`pack`), and runs every device
// operation for scripts and production lines.

#include "clicommon.h"
#include "commandreport.h"
#include "devicecommand.h"
#include "qtcompat.h"
#include "talvexversion.h"

#include <QCoreApplication>

namespace {

const char toolHelpStart[]
    = "usage: talvex-cli COMMAND [ARGUMENTS]\n"
      "\n"
      "Checks and writes TALVEX firmware files (.tvf) and works with attached Vantor\n"
      "devices through the same USB code as the window.\n"
      "\n"
      "Firmware files:\n"
      "  info FILE                 check FILE as the updater does and print its header\n"
      "  pack ...                  write a firmware file around a payload\n"
      "\n"
      "Production line database:\n"
      "  line report|reservations|burn URI ...\n"
      "                            report on the line, list or burn serials left reserved\n"
      "\n"
      "Devices (--device SERIAL picks one when several are attached):\n";

const char toolHelpEnd[] = "\n"
                           "Options:\n"
                           "  --help                    print this help and exit\n"
                           "  --version                 print the version and exit\n"
                           "\n"
                           "Run \"talvex-cli COMMAND --help\" for the arguments of a command.\n"
                           "Every device command takes --json: one JSON object per line on stdout for\n"
                           "each event, ending with exactly one \"result\" object.\n"
                           "Output files are written whole or not at all.\n"
                           "\n"
                           "Exit status:\n"
                           "  0  success\n"
                           "  1  a file failed its check or could not be read or written\n"
                           "  2  the command line was refused (or a confirmation was not given)\n"
                           "  3  no device to work on: none attached, none with that serial number,\n"
                           "     or several attached and none chosen with --device\n"
                           "  4  the device operation failed; a one-line reason is printed on stderr\n"
                           "  5  a read brought nothing: the block is empty, or the read failed\n"
                           "\n"
                           "With TALVEX_SIMULATOR set, the commands work on simulated devices instead.\n";

QString toolUsage()
{
    QString usage = QLatin1String(infoUsage) + QLatin1Char('\n') + QLatin1String(packUsage) + QLatin1Char('\n')
        + QLatin1String(lineUsage) + QLatin1Char('\n');
    for (const char *command : {"list", "flash"})
        usage += QStringLiteral("usage: talvex-cli %1\n")
                     .arg(QLatin1String(findDeviceCommand(QLatin1String(command))->usage));
    return usage + QStringLiteral("usage: talvex-cli --help | --version");
}

int run(const QStringList &arguments)
{
    if (arguments.isEmpty())
        failUsage(QString(), QStringLiteral("no command given"), toolUsage());

    const QString command = arguments.first();
    const QStringList rest = arguments.mid(1);
    if (command == QLatin1String("--help") || command == QLatin1String("-h")) {
        printOut(QLatin1String(toolHelpStart) + deviceCommandsHelp() + QLatin1String(toolHelpEnd));
        return ExitSuccess;
    }
    if (command == QLatin1String("--version")) {
        printOut(QStringLiteral("talvex-cli " TALVEX_VERSION "\n"));
        return ExitSuccess;
    }
    if (command == QLatin1String("info"))
        return runInfo(rest);
    if (command == QLatin1String("pack"))
        return runPack(rest);
    if (command == QLatin1String("line"))
        return runLine(rest);
    if (const DeviceCommand *deviceCommand = findDeviceCommand(command))
        return runDeviceCommand(*deviceCommand, rest);
    failUsage(QString(), QStringLiteral("unknown command \"%1\"").arg(command), toolUsage());
}

bool isDeviceCommand(const QString &command)
{
    return findDeviceCommand(command) != nullptr;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("talvex-cli"));

    const QStringList arguments = QtCompat::commandLineArguments(argc, argv).mid(1);
    const QString command = arguments.value(0);
    // Known before the command line is parsed, so that even a refused one
    // ends with a result event.
    CommandReport &report = CommandReport::current();
    report.start(command, isDeviceCommand(command) && arguments.mid(1).contains(QLatin1String("--json")));
    try {
        const int status = run(arguments);
        report.finish(status, QString());
        return status;
    } catch (const CommandError &error) {
        printErr(error.text() + QLatin1Char('\n'));
        if (!error.usage.isEmpty())
            printErr(error.usage + QLatin1Char('\n'));
        report.finish(error.status, error.reason);
        return error.status;
    }
}
