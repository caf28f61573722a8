// What one unit costs a station on the line database, as the station
// spends it: a serial reserved, then settled as given together with its
// record row, each its own transaction. Prints the median, the 99th
// percentile and the mean of UNITS units, in milliseconds; connecting and
// starting the run are not counted.
//
// usage: bench_line_units ADDRESS [UNITS]

#include "station/linedatabase.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_line_units ADDRESS [UNITS]\n");
        return 2;
    }
    const int units = argc > 2 ? std::max(1, std::atoi(argv[2])) : 2000;
    LineDatabase line;
    LineDatabase::Error error = line.open(LineAddress::parse(QString::fromLocal8Bit(argv[1])));
    if (!error.isError())
        error = line.start(QStringLiteral("bench"), SerialRange::parse(QStringLiteral("BL{0000000001..9999999999}")));
    if (error.isError()) {
        std::fprintf(stderr, "bench_line_units: %s\n", qPrintable(LineDatabase::errorText(error)));
        return 1;
    }
    std::vector<double> ms;
    ms.reserve(size_t(units));
    for (int unit = 0; unit < units; ++unit) {
        QElapsedTimer clock;
        clock.start();
        QString serial;
        error = line.reserve(&serial);
        // A record line as a station writes it, with its usual fields.
        const QJsonObject record {{QStringLiteral("board"), QStringLiteral("2.1")},
            {QStringLiteral("port"), QStringLiteral("sim:%1").arg(unit)},
            {QStringLiteral("usb_serial"), QStringLiteral("USB%1").arg(unit)},
            {QStringLiteral("serial_before"), QString()}, {QStringLiteral("serial_after"), serial},
            {QStringLiteral("result"), QStringLiteral("done")}, {QStringLiteral("seconds"), 4.2},
            {QStringLiteral("time"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
            {QStringLiteral("station"), QStringLiteral("bench")},
            {QStringLiteral("sha256"), QString(64, QLatin1Char('a'))}};
        if (!error.isError())
            error = line.settle(line.runId(), QString::number(unit), serial, LineDatabase::Outcome::Given, record);
        if (error.isError()) {
            std::fprintf(stderr, "bench_line_units: %s\n", qPrintable(LineDatabase::errorText(error)));
            return 1;
        }
        ms.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    double sum = 0;
    for (double each : ms)
        sum += each;
    std::sort(ms.begin(), ms.end());
    std::printf("line database, reserve + settle per unit, %d units: median %.2f ms, 99th percentile %.2f ms, "
                "mean %.2f ms\n",
        units, ms[ms.size() / 2], ms[std::min(ms.size() - 1, ms.size() * 99 / 100)], sum / units);
    return 0;
}
