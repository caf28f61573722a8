// The man page of talvex-cli lists exactly the commands, options and exit
// statuses that `talvex-cli --help` lists, and every option that each
// command's own usage line names.

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QtTest>

#include <functional>

namespace {

QByteArray helpOf(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(TALVEX_CLI_PATH), arguments);
    if (!process.waitForFinished(30000) || process.exitCode() != 0)
        return QByteArray();
    return process.readAllStandardOutput();
}

// The first words of the entries in the tool's help (lines indented by two
// spaces) under every heading that `wanted` accepts, up to the next empty line.
QStringList helpEntriesWhere(const QByteArray &help, const std::function<bool(const QByteArray &)> &wanted)
{
    QStringList entries;
    bool inside = false;
    for (const QByteArray &line : help.split('\n')) {
        if (line.trimmed().isEmpty())
            inside = false;
        else if (!line.startsWith(' ') && line.endsWith(':'))
            inside = wanted(line);
        else if (inside && line.startsWith("  ") && line.at(2) != ' ')
            entries << QString::fromUtf8(line.trimmed().split(' ').first());
    }
    return entries;
}

QStringList helpEntries(const QByteArray &help, const QByteArray &heading)
{
    return helpEntriesWhere(help, [&](const QByteArray &line) { return line == heading; });
}

// The commands: every list of the help but its options and exit statuses.
QStringList helpCommands(const QByteArray &help)
{
    return helpEntriesWhere(
        help, [](const QByteArray &line) { return line != "Options:" && line != "Exit status:"; });
}

// The man page's source, with its escaped dashes as plain dashes.
QString manPage()
{
    QFile file(QStringLiteral(TALVEX_CLI_MAN));
    return file.open(QFile::ReadOnly)
        ? QString::fromUtf8(file.readAll()).replace(QStringLiteral("\\-"), QStringLiteral("-"))
        : QString();
}

// The tagged paragraphs of one section (".TP" followed by ".B name" or
// ".BI name ..."), outside any indented block: the page's list of entries.
QStringList manEntries(const QString &page, const QString &section)
{
    QStringList entries;
    const int start = page.indexOf(QStringLiteral("\n.SH ") + section + QLatin1Char('\n'));
    if (start < 0)
        return entries;
    const int end = page.indexOf(QStringLiteral("\n.SH "), start + 1);
    const QStringList lines = page.mid(start, end < 0 ? -1 : end - start).split(QLatin1Char('\n'));
    int depth = 0;
    static const QRegularExpression tag(QStringLiteral("^\\.BI? \"?([^ \"]+)"));
    for (int i = 0; i + 1 < lines.size(); ++i) {
        if (lines[i] == QLatin1String(".RS"))
            ++depth;
        else if (lines[i] == QLatin1String(".RE"))
            --depth;
        else if (depth == 0 && lines[i] == QLatin1String(".TP")) {
            const QRegularExpressionMatch match = tag.match(lines[i + 1]);
            if (match.hasMatch())
                entries << match.captured(1);
        }
    }
    return entries;
}

} // namespace

class TestManPages : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(!manPage().isEmpty(), TALVEX_CLI_MAN);
        QVERIFY(!helpOf({"--help"}).isEmpty());
    }

    void everyEntryOfHelpIsInTheManPageAndNoOther_data()
    {
        QTest::addColumn<QStringList>("inHelp");
        QTest::addColumn<QString>("manSection");
        const QByteArray help = helpOf({"--help"});
        QTest::addRow("commands") << helpCommands(help) << "COMMANDS";
        QTest::addRow("options") << helpEntries(help, "Options:") << "OPTIONS";
        QTest::addRow("exit statuses") << helpEntries(help, "Exit status:") << "EXIT STATUS";
    }

    void everyEntryOfHelpIsInTheManPageAndNoOther()
    {
        QFETCH(QStringList, inHelp);
        QFETCH(QString, manSection);
        QVERIFY(!inHelp.isEmpty());
        QCOMPARE(manEntries(manPage(), manSection), inHelp);
    }

    void everyOptionOfACommandIsInTheManPage()
    {
        const QString page = manPage();
        static const QRegularExpression option(QStringLiteral("--[a-z0-9-]+"));
        for (const QString &command : helpCommands(helpOf({"--help"}))) {
            const QByteArray usage = helpOf({command, "--help"}).split('\n').first();
            QVERIFY2(usage.startsWith("usage: talvex-cli " + command.toUtf8()), usage.constData());
            auto options = option.globalMatch(QString::fromUtf8(usage));
            while (options.hasNext()) {
                const QString name = options.next().captured();
                const QRegularExpression documented(QStringLiteral("^\\.B[IR]? ")
                        + QRegularExpression::escape(name) + QStringLiteral("( |$)"),
                    QRegularExpression::MultilineOption);
                QVERIFY2(page.contains(documented), qPrintable(command + QLatin1Char(' ') + name));
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestManPages)
#include "tst_manpages.moc"
