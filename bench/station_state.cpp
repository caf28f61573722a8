// What one unit costs the station's serial state, as the station spends
// it: a serial reserved, then settled as written. The state starts with
// GIVEN serials already handed out, written as a state of the first
// version lists them (one holder each), so that the same program measures
// a build that keeps that form and one that carries it over. Prints the
// median and the mean of UNITS units, in milliseconds; opening the state
// is not counted. The processor time per unit is printed apart, since
// the wall time is mostly the disk's syncs, and those vary with the disk.
//
// usage: bench_station_state GIVEN [UNITS] [FOLDER]

#include "station/durablefile.h"
#include "station/serialrange.h"
#include "station/stationstate.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

const QString rangePattern = QStringLiteral("ZOK{0000000001..9999999999}");

QString usbSerial(qint64 n)
{
    return QStringLiteral("USB%1").arg(n, 10, 10, QLatin1Char('0'));
}

// Written as text: a JSON object of a million keys built key by key takes far longer than the run.
bool writeGivenState(const QString &fileName, const SerialRange &range, qint64 given)
{
    QByteArray serials;
    QByteArray holders;
    for (qint64 n = range.first(); n < range.first() + given; ++n) {
        const QByteArray serial = '"' + range.serial(n).toLatin1() + '"';
        const char *separator = n == range.first() ? "" : ",";
        serials += separator + serial;
        holders += separator + serial + ":\"" + usbSerial(n).toLatin1() + '"';
    }
    const QByteArray state = "{\"format\":\"talvex-station-state\",\"version\":1,\"range\":\""
        + range.pattern().toLatin1() + "\",\"next\":" + QByteArray::number(range.first() + given)
        + ",\"reserved\":[],\"burnt\":[],\"given\":[" + serials + "],\"holders\":{" + holders + "}}\n";
    // On disk before the units start, so that its write-back does not fall into their time.
    QString error;
    return DurableFile::replace(fileName, state, &error);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    bool ok = arguments.size() >= 2 && arguments.size() <= 4;
    const qint64 given = ok ? arguments.at(1).toLongLong(&ok) : 0;
    const int units = arguments.size() >= 3 ? arguments.at(2).toInt() : 200;
    if (!ok || given < 0 || units < 1) {
        std::fputs("usage: bench_station_state GIVEN [UNITS] [FOLDER]\n", stderr);
        return 2;
    }
    // The folder decides what a sync costs: the one the station's state would be in.
    QTemporaryDir dir(arguments.size() == 4 ? arguments.at(3) + QStringLiteral("/state-XXXXXX")
                                            : QDir::tempPath() + QStringLiteral("/state-XXXXXX"));
    const QString fileName = dir.filePath(QStringLiteral("station.json"));
    const SerialRange range = SerialRange::parse(rangePattern);
    QString error;
    StationState state;
    if (!dir.isValid() || !writeGivenState(fileName, range, given) || !state.open(fileName, range, &error)) {
        std::fprintf(stderr, "the state could not be prepared: %s\n", qPrintable(error));
        return 1;
    }

    std::vector<double> milliseconds;
    const std::clock_t cpuStart = std::clock();
    for (int unit = 0; unit < units; ++unit) {
        QElapsedTimer timer;
        timer.start();
        const QString serial = state.reserve(usbSerial(given + unit), &error);
        if (serial.isEmpty() || !state.settle(serial, true, &error)) {
            std::fprintf(stderr, "unit %d: %s\n", unit, qPrintable(error));
            return 1;
        }
        milliseconds.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    // Processor time alone, apart from waiting for the disk.
    const double cpuMilliseconds = 1000.0 * double(std::clock() - cpuStart) / CLOCKS_PER_SEC / units;
    double sum = 0;
    for (const double ms : milliseconds)
        sum += ms;
    std::nth_element(milliseconds.begin(), milliseconds.begin() + units / 2, milliseconds.end());
    std::printf("given %lld: %.3f ms per unit (median of %d), mean %.3f ms, processor %.3f ms\n",
        static_cast<long long>(given), milliseconds[size_t(units / 2)], units, sum / units, cpuMilliseconds);
    return 0;
}
