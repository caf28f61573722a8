#include "startup.h"

#include <QApplication>
#include <QFile>
#include <QFont>

#include "talvexversion.h"

void applyApplicationFont()
{
    QFont font = QApplication::font();
    font.setPointSize(8);
    QApplication::setFont(font);
}

void installStyleSheet(QApplication &application, const QString &path)
{
    QFile file(path);
    file.open(QFile::ReadOnly);
    application.setStyleSheet(QString::fromUtf8(file.readAll()));
}

void setApplicationIdentity()
{
    QApplication::setOrganizationName(QStringLiteral("Vantor"));
    QApplication::setApplicationName(QStringLiteral("TALVEX Updater"));
}

StartupArguments readStartupArguments(const QStringList &arguments)
{
    const QStringList given = arguments.mid(1);
    const int endOfOptions = given.indexOf(QStringLiteral("--"));
    for (const QString &argument : given.mid(0, endOfOptions)) {
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h"))
            return {StartupRequest::Help, QString(), QString()};
        if (argument == QLatin1String("--version"))
            return {StartupRequest::Version, QString(), QString()};
    }

    bool station = false;
    QStringList files;
    for (int i = 0; i < given.size(); ++i) {
        const QString &argument = given.at(i);
        if (i == endOfOptions)
            continue;
        if (endOfOptions >= 0 && i > endOfOptions)
            files << argument;
        else if (argument == QLatin1String("--station"))
            station = true;
        else if (argument.size() > 1 && argument.startsWith(QLatin1Char('-')))
            return {
                StartupRequest::Refused, QString(), QStringLiteral("unknown option \"%1\"").arg(argument)};
        else
            files << argument;
    }
    if (files.size() > 1)
        return {StartupRequest::Refused, QString(),
            QStringLiteral("one firmware file at a time, not %1").arg(files.size())};
    if (station && !files.isEmpty())
        return {StartupRequest::Refused, QString(),
            QStringLiteral("--station takes no firmware file; choose it in the station's window")};
    if (station)
        return {StartupRequest::StationWindow, QString(), QString()};
    return {StartupRequest::FlashWindow, files.value(0), QString()};
}

QString startupHelpText()
{
    return QStringLiteral("usage: talvex-updater [--station] [Qt options] [FILE.tvf]\n"
                          "       talvex-updater --help | --version\n"
                          "\n"
                          "Puts new firmware on a Vantor device attached over USB. A FILE.tvf named here\n"
                          "is loaded at the start as if chosen with \"Choose firmware file\".\n"
                          "\n"
                          "Options:\n"
                          "  --station   open the production station instead: every device plugged in\n"
                          "              is flashed, one tile per device\n"
                          "  --help      print this help and exit\n"
                          "  --version   print the version and exit\n"
                          "  --          what follows is a file name, even when it starts with \"-\"\n"
                          "It also takes the options every Qt program takes, such as -platform NAME\n"
                          "and -style NAME.\n"
                          "\n"
                          "Exit status:\n"
                          "  0  the window was closed, or SIGTERM, SIGINT or SIGHUP asked it to end\n"
                          "  2  the command line was refused, or TALVEX_SIMULATOR holds a value the\n"
                          "     program cannot follow\n"
                          "\n"
                          "With TALVEX_SIMULATOR set, it works on simulated devices instead; see\n"
                          "talvex-updater(1) and talvex-cli(1) for the production station on the\n"
                          "command line.\n");
}

QString startupVersionText()
{
    return QStringLiteral("talvex-updater " TALVEX_VERSION "\n");
}
