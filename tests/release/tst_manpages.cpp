// The man page of talvex-cli lists exactly the commands and options that
// `talvex-cli --help` lists, and every option each command's own help names.

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QtTest>

namespace {

QByteArray helpOf(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(TALVEX_CLI_PATH), arguments);
    if (!process.waitForFinished(30000) || process.exitCode() != 0)
        return QByteArray();
    return process.readAllStandardOutput();
}

// The first words of the indented lines under `heading` in the tool's help,
// up to the next empty line.
QStringList helpEntries(const QByteArray &help, const QByteArray &heading)
{
    QStringList entries;
    bool inside = false;
    for (const QByteArray &line : help.split('\n')) {
        if (line == heading) {
            inside = true;
        } else if (inside && line.trimmed().isEmpty()) {
            break;
        } else if (inside) {
            entries << QString::fromUtf8(line.trimmed().split(' ').first());
        }
    }
    return entries;
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
        QTest::addColumn<QByteArray>("helpHeading");
        QTest::addColumn<QString>("manSection");
        QTest::addRow("commands") << QByteArray("Commands:") << "COMMANDS";
        QTest::addRow("options") << QByteArray("Options:") << "OPTIONS";
    }

    void everyEntryOfHelpIsInTheManPageAndNoOther()
    {
        QFETCH(QByteArray, helpHeading);
        QFETCH(QString, manSection);
        const QStringList inHelp = helpEntries(helpOf({"--help"}), helpHeading);
        QVERIFY(!inHelp.isEmpty());
        QCOMPARE(manEntries(manPage(), manSection), inHelp);
    }

    void everyOptionOfACommandIsInTheManPage()
    {
        const QString page = manPage();
        static const QRegularExpression option(QStringLiteral("--[a-z-]+"));
        for (const QString &command : helpEntries(helpOf({"--help"}), "Commands:")) {
            const QByteArray usage = helpOf({command, "--help"}).split('\n').first();
            QVERIFY2(usage.startsWith("usage: talvex-cli " + command.toUtf8()), usage.constData());
            auto options = option.globalMatch(QString::fromUtf8(usage));
            while (options.hasNext()) {
                const QString name = options.next().captured();
                QVERIFY2(page.contains(QStringLiteral(".BI ") + name + QLatin1Char(' ')),
                    qPrintable(command + QLatin1Char(' ') + name));
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestManPages)
#include "tst_manpages.moc"
