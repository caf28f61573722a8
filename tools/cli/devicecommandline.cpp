#include "devicecommandline.h"

#include "clicommon.h"

#include "firmware/versiontext.h"

namespace {

// An hour: longer than any line waits for a device, short enough for an int of milliseconds.
constexpr int maxWaitSeconds = 3600;

} // namespace

DeviceCommandLine::DeviceCommandLine(const QString &command, const QString &usage, const QString &help,
    const QList<QCommandLineOption> &options)
    : m_command(command)
    , m_usage(usage)
    , m_help(help)
{
    m_parser.addOption({{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help.")});
    m_parser.addOption({QStringLiteral("device"), QString(), QStringLiteral("SERIAL")});
    m_parser.addOption({QStringLiteral("json"), QString()});
    m_parser.addOption({QStringLiteral("wait"), QString(), QStringLiteral("SECONDS")});
    m_parser.addOptions(options);
}

bool DeviceCommandLine::parse(const QStringList &arguments, int positional, bool takesWait)
{
    if (!m_parser.parse(QStringList {m_command} + arguments))
        refuse(m_parser.errorText());
    if (m_parser.isSet(QStringLiteral("help"))) {
        const QString wait = takesWait
            ? QStringLiteral("  --wait SECONDS   wait up to SECONDS (0 to %1) for the device to appear\n"
                             "                   instead of failing at once (default 0)\n")
                  .arg(maxWaitSeconds)
            : QString();
        printHelp(m_usage + QLatin1Char('\n') + m_help + wait
            + QStringLiteral("  --json           one JSON object per line on stdout for each event, "
                             "ending with the result\n"));
        return false;
    }
    if (!takesWait && m_parser.isSet(QStringLiteral("wait")))
        refuse(QStringLiteral("--wait does not apply: %1 waits for devices by itself until it is stopped")
                   .arg(m_command));
    if (m_parser.isSet(QStringLiteral("wait"))) {
        const QString text = value(QStringLiteral("wait"));
        bool ok = false;
        const double seconds = text.toDouble(&ok);
        if (!ok || !(seconds >= 0) || seconds > maxWaitSeconds)
            refuse(QStringLiteral("--wait \"%1\" is not a number of seconds from 0 to %2")
                       .arg(text)
                       .arg(maxWaitSeconds));
        m_waitMs = int(seconds * 1000);
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
    failUsage(m_command, message, m_usage);
}

std::pair<uchar, uchar> DeviceCommandLine::boardVersion() const
{
    const QString text = value(QStringLiteral("board"));
    quint8 version = 0;
    quint8 subversion = 0;
    if (!parseBoardVersion(text, &version, &subversion))
        refuse(QStringLiteral("--board \"%1\" is not of the form X.Y (0 to 255 each)").arg(text));
    return {version, subversion};
}
