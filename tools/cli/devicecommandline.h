#pragma once

// The command line of a device command: its positional arguments, the
// --device choice, --wait, options of its own, and --help. Single-threaded.

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include <utility>

class DeviceCommandLine
{
public:
    // usage is the command's usage line, help the text after it.
    DeviceCommandLine(const QString &command, const QString &usage, const QString &help,
        const QList<QCommandLineOption> &options = {});

    // False when --help was given (the help is printed); ends the command
    // with the usage line when the arguments are refused or their number
    // is not `positional`, or --wait is given to a command that takes none.
    bool parse(const QStringList &arguments, int positional, bool takesWait = true);

    QString device() const;
    // How long to wait for the device to appear (--wait SECONDS); 0 without it.
    int waitMs() const { return m_waitMs; }
    QStringList positional() const { return m_parser.positionalArguments(); }
    bool isSet(const QString &option) const { return m_parser.isSet(option); }
    // The option's one value; ends the command when it is given twice.
    QString value(const QString &option) const;
    // Every value of a repeatable option, in order.
    QStringList values(const QString &option) const { return m_parser.values(option); }
    // The board version X.Y given with --board, 0 to 255 each; ends the command otherwise.
    std::pair<uchar, uchar> boardVersion() const;
    [[noreturn]] void refuse(const QString &message) const;

private:
    QString m_command;
    QString m_usage;
    QString m_help;
    QCommandLineParser m_parser;
    int m_waitMs = 0;
};
