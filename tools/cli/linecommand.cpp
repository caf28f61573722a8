// talvex-cli line: what the line's shared database holds, for the people who
// run the line: its report, the serials left reserved by stations that never
// came back, and burning those.

#include "clicommon.h"

#include "station/linedatabase.h"

#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

const char lineHelpText[] = "\n"
                            "URI is a PostgreSQL connection URI (postgresql://USER@HOST:PORT/DATABASE?...)\n"
                            "or key=value connection string. The password comes from PGPASSWORD or the\n"
                            "password file (PGPASSFILE, ~/.pgpass); it is never printed.\n"
                            "  report        units per station and in all, units per hour, results by\n"
                            "                reason, and serials given, burnt, reserved and kept\n"
                            "    --since TIME     only from TIME on (ISO 8601; local time unless it ends\n"
                            "                     in Z or an offset)\n"
                            "    --station NAME   only of the station NAME\n"
                            "    --json           one JSON object instead of text\n"
                            "    --csv            CSV rows: measure,station,result,reason,value\n"
                            "  reservations  serials still reserved by stations that are not running\n"
                            "  burn          burns those of the SERIALs that are reserved by a station\n"
                            "                that is not running, so that they are never handed out;\n"
                            "                names on stderr those it did not burn and then exits with 1\n"
                            "A database that cannot be reached, read or written exits with 1.\n";

[[noreturn]] void refuse(const QString &message)
{
    failUsage(QStringLiteral("line"), message, QLatin1String(lineUsage));
}

[[noreturn]] void fail(const QString &action, const LineAddress &address, const LineDatabase::Error &error)
{
    throw CommandError {ExitFileFailed, QStringLiteral("line ") + action,
        QStringLiteral("%1: %2").arg(address.displayText(), LineDatabase::errorText(error)), QString()};
}

QString csvField(const QString &text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"'))
        && !text.contains(QLatin1Char('\n')))
        return text;
    return QLatin1Char('"') + QString(text).replace(QLatin1Char('"'), QLatin1String("\"\""))
        + QLatin1Char('"');
}

QString csvRow(const QString &measure, const QString &station, const QString &result, const QString &reason,
    const QString &value)
{
    return QStringList {measure, csvField(station), csvField(result), csvField(reason), value}.join(
               QLatin1Char(','))
        + QLatin1Char('\n');
}

QString perHour(double units)
{
    return QString::number(units, 'f', 1);
}

QString reportText(const LineDatabase::Report &report)
{
    QString text
        = QStringLiteral("units: %1 (%2 per hour)\n").arg(report.all.units).arg(perHour(report.all.perHour));
    for (const LineDatabase::Report::Units &station : report.stations)
        text += QStringLiteral("  %1: %2 (%3 per hour)\n")
                    .arg(station.station)
                    .arg(station.units)
                    .arg(perHour(station.perHour));
    text += QStringLiteral("results:\n");
    for (const LineDatabase::Report::Results &results : report.results)
        text += QStringLiteral("  %1%2: %3\n")
                    .arg(results.result,
                        results.reason.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(results.reason))
                    .arg(results.units);
    return text
        + QStringLiteral("serials: given %1, burnt %2, reserved %3, kept %4\n")
              .arg(report.given)
              .arg(report.burnt)
              .arg(report.reserved)
              .arg(report.kept);
}

QString reportJson(const LineDatabase::Report &report)
{
    QJsonArray stations;
    for (const LineDatabase::Report::Units &station : report.stations)
        stations.append(QJsonObject {{QStringLiteral("station"), station.station},
            {QStringLiteral("units"), station.units}, {QStringLiteral("units_per_hour"), station.perHour}});
    QJsonArray results;
    for (const LineDatabase::Report::Results &result : report.results)
        results.append(QJsonObject {{QStringLiteral("result"), result.result},
            {QStringLiteral("reason"), result.reason}, {QStringLiteral("units"), result.units}});
    const QJsonObject serials {{QStringLiteral("given"), report.given},
        {QStringLiteral("burnt"), report.burnt}, {QStringLiteral("reserved"), report.reserved},
        {QStringLiteral("kept"), report.kept}};
    const QJsonObject object {{QStringLiteral("units"), report.all.units},
        {QStringLiteral("units_per_hour"), report.all.perHour}, {QStringLiteral("stations"), stations},
        {QStringLiteral("results"), results}, {QStringLiteral("serials"), serials}};
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) + QLatin1Char('\n');
}

QString reportCsv(const LineDatabase::Report &report)
{
    QString csv = csvRow(QStringLiteral("measure"), QStringLiteral("station"), QStringLiteral("result"),
        QStringLiteral("reason"), QStringLiteral("value"));
    for (const LineDatabase::Report::Units &units :
        report.stations + QVector<LineDatabase::Report::Units> {report.all}) {
        csv += csvRow(
            QStringLiteral("units"), units.station, QString(), QString(), QString::number(units.units));
        csv += csvRow(
            QStringLiteral("units_per_hour"), units.station, QString(), QString(), perHour(units.perHour));
    }
    for (const LineDatabase::Report::Results &result : report.results)
        csv += csvRow(QStringLiteral("results"), QString(), result.result, result.reason,
            QString::number(result.units));
    const std::pair<const char *, qint64> serials[] = {{"given", report.given}, {"burnt", report.burnt},
        {"reserved", report.reserved}, {"kept", report.kept}};
    for (const auto &serial : serials)
        csv += csvRow(QStringLiteral("serials"), QString(), QLatin1String(serial.first), QString(),
            QString::number(serial.second));
    return csv;
}

} // namespace

int runLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption helpOption(QStringList {QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption sinceOption(QStringLiteral("since"), QString(), QStringLiteral("TIME"));
    const QCommandLineOption stationOption(QStringLiteral("station"), QString(), QStringLiteral("NAME"));
    const QCommandLineOption jsonOption(QStringLiteral("json"));
    const QCommandLineOption csvOption(QStringLiteral("csv"));
    parser.addOptions({helpOption, sinceOption, stationOption, jsonOption, csvOption});
    if (!parser.parse(QStringList {QStringLiteral("line")} + arguments))
        refuse(parser.errorText());
    if (parser.isSet(helpOption)) {
        printOut(QLatin1String(lineUsage) + QLatin1Char('\n') + QLatin1String(lineHelpText));
        return ExitSuccess;
    }
    const QStringList positional = parser.positionalArguments();
    const QString action = positional.value(0);
    if (positional.size() < 2)
        refuse(QStringLiteral("expected an action and URI"));
    const bool isReport = action == QLatin1String("report");
    if (!isReport && action != QLatin1String("reservations") && action != QLatin1String("burn"))
        refuse(QStringLiteral("unknown action \"%1\"").arg(action));
    if ((action == QLatin1String("burn")) != (positional.size() > 2))
        refuse(QStringLiteral("SERIALs are what burn, and only burn, takes"));
    if (!isReport
        && (parser.isSet(sinceOption) || parser.isSet(stationOption) || parser.isSet(jsonOption)
            || parser.isSet(csvOption)))
        refuse(QStringLiteral("--since, --station, --json and --csv are options of report"));
    if (parser.isSet(jsonOption) && parser.isSet(csvOption))
        refuse(QStringLiteral("--json and --csv exclude each other"));
    QDateTime since;
    if (parser.isSet(sinceOption)) {
        since = QDateTime::fromString(parser.value(sinceOption), Qt::ISODate);
        if (!since.isValid())
            refuse(QStringLiteral("--since \"%1\" is not an ISO 8601 time").arg(parser.value(sinceOption)));
    }

    const LineAddress address = LineAddress::parse(positional.at(1));
    LineDatabase database;
    LineDatabase::Error error = database.open(address);
    if (error.isError())
        fail(action, address, error);
    if (isReport) {
        LineDatabase::Report report;
        if ((error = database.report(since, parser.value(stationOption), &report)).isError())
            fail(action, address, error);
        printOut(parser.isSet(jsonOption) ? reportJson(report)
                : parser.isSet(csvOption) ? reportCsv(report)
                                          : reportText(report));
        return ExitSuccess;
    }
    if (action == QLatin1String("reservations")) {
        QVector<LineDatabase::Reservation> reservations;
        if ((error = database.openReservations(&reservations)).isError())
            fail(action, address, error);
        for (const LineDatabase::Reservation &reservation : reservations)
            printOut(QStringLiteral("%1 %2 %3 %4\n")
                         .arg(reservation.serial, reservation.station,
                             reservation.since.toUTC().toString(Qt::ISODate),
                             reservation.runId.toString(QUuid::WithoutBraces)));
        return ExitSuccess;
    }
    const QStringList serials = positional.mid(2);
    QStringList burnt;
    if ((error = database.burn(serials, &burnt)).isError())
        fail(action, address, error);
    for (const QString &serial : burnt)
        printOut(QStringLiteral("burnt %1\n").arg(serial));
    bool all = true;
    for (const QString &serial : serials) {
        if (!burnt.contains(serial)) {
            printErr(
                QStringLiteral("talvex-cli line burn: %1 is not reserved by a station that has stopped\n")
                    .arg(serial));
            all = false;
        }
    }
    return all ? ExitSuccess : ExitFileFailed;
}
