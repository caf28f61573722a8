#include "devicecommandline.h"

#include "clicommon.h"

DeviceCommandLine::DeviceCommandLine(const QString &command, const QString &usage, const QString &help,
    const QList<QCommandLineOption> &options)
    : m_command(command)
    , m_usage(usage)
    , m_help(help)
{
    m_parser.addOption({{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help.")});
    m_parser.addOption({QStringLiteral("device"), QString(), QStringLiteral("SERIAL")});
    m_parser.addOption({QStringLiteral("json"), QString()});
    m_parser.addOptions(options);
}

bool DeviceCommandLine::parse(const QStringList &arguments, int positional)
{
    if (!m_parser.parse(QStringList {m_command} + arguments))
        refuse(m_parser.errorText());
    if (m_parser.isSet(QStringLiteral("help"))) {
        printHelp(m_usage + QLatin1Char('\n') + m_help
            + QStringLiteral("  --json           one JSON object per line on stdout for each event, "
                             "ending with the result\n"));
        return false;
    }
    if (m_parser.positionalArguments().size() != positional)
        refuse(QStringLiteral("expected %1 argument(s), got %2")
                   .arg(positional)
                   .arg(m_parser.positionalArguments().size()));
    return true;
}

QString DeviceCommandLine::device() const
{
    return value(QStringLiteral("device"));
}

QString DeviceCommandLine::value(const QString &option) const
{
    const QStringList values = m_parser.values(option);
    if (values.size() > 1)
        refuse(QStringLiteral("--%1 is given more than once").arg(option));
    return values.value(0);
}

void DeviceCommandLine::refuse(const QString &message) const
{
    failUsage(QStringLiteral("talvex-cli %1: %2").arg(m_command, message), m_usage);
}
