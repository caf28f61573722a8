// talvex-cli: checks firmware files as the updater does (`info`) and writes
// them for people who build and ship firmware (`pack`).

#include "clicommon.h"
#include "qtcompat.h"
#include "talvexversion.h"

#include <QCoreApplication>

namespace {

const char toolHelp[] = "usage: talvex-cli COMMAND [ARGUMENTS]\n"
                        "\n"
                        "Checks and writes TALVEX firmware files (.tvf).\n"
                        "\n"
                        "Commands:\n"
                        "  info FILE   check FILE as the updater does and print its header\n"
                        "  pack ...    write a firmware file around a payload\n"
                        "\n"
                        "Options:\n"
                        "  --help      print this help and exit\n"
                        "  --version   print the version and exit\n"
                        "\n"
                        "Run \"talvex-cli COMMAND --help\" for the arguments of a command.\n"
                        "\n"
                        "Exit status: 0 success; 1 a file failed its check or could not be read or\n"
                        "written; 2 the command line was refused.\n";

QString toolUsage()
{
    return QStringLiteral("%1\n%2\nusage: talvex-cli --help | --version")
        .arg(QLatin1String(infoUsage), QLatin1String(packUsage));
}

int run(const QStringList &arguments)
{
    if (arguments.isEmpty())
        failUsage(QStringLiteral("talvex-cli: no command given"), toolUsage());

    const QString command = arguments.first();
    const QStringList rest = arguments.mid(1);
    if (command == QLatin1String("--help") || command == QLatin1String("-h")) {
        printOut(QString::fromLatin1(toolHelp));
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
    failUsage(QStringLiteral("talvex-cli: unknown command \"%1\"").arg(command), toolUsage());
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("talvex-cli"));

    try {
        return run(QtCompat::commandLineArguments(argc, argv).mid(1));
    } catch (const CommandError &error) {
        printErr(error.message + QLatin1Char('\n'));
        if (!error.usage.isEmpty())
            printErr(error.usage + QLatin1Char('\n'));
        return error.status;
    }
}
