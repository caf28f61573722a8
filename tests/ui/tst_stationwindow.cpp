// The station window against simulated devices plugged in at different
// moments, one failing and one pulled out mid-flash: a tile per unit with
// its state in large letters, the counters, and Stop.

#include "firmwarefixture.h"
#include "protocol/sim/vantorwire.h"
#include "ui/stationtile.h"
#include "ui/stationwindow.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

class TestStationWindow : public QObject
{
    Q_OBJECT

private slots:
    void unitsArriveAndEndAsTiles()
    {
        QTemporaryDir dir;
        const std::vector<uint8_t> image = vantorImagePayload(7, 3, 1, 4242, "master", 1000);
        const QString file = writeFirmwareFile(dir.filePath(QStringLiteral("fw.tvf")), 7, 3, 1, 4242,
            "master", QByteArray(reinterpret_cast<const char *>(image.data()), int(image.size())));
        // The window's station inherits the simulated devices: device 3 fails, device 6 is pulled
        // out 1.5 s after it arrives, long after the station has seen it and long before its
        // flash (3 s busy) can end.
        qputenv("TALVEX_SIMULATOR",
            "restart-ms=100,busy-ms=3000,devices=8,arrive=0,100,200,400,600,800,1000,1200,"
            "leave=-,-,-,-,-,2300,fail-batch=2,fault-devices=3");
        StationWindow window;
        window.setDataFolder(dir.path());
        window.findChild<QLineEdit *>(QStringLiteral("fileEdit"))->setText(file);
        window.findChild<QLineEdit *>(QStringLiteral("serialsEdit"))
            ->setText(QStringLiteral("ZOK{000100..000999}"));
        window.findChild<QLineEdit *>(QStringLiteral("boardEdit"))->setText(QStringLiteral("2.1"));
        window.show();
        QTest::mouseClick(window.findChild<QPushButton *>(QStringLiteral("startButton")), Qt::LeftButton);
        QVERIFY(window.isRunning());

        const auto ended = [&window] {
            int count = 0;
            for (StationTile *tile : window.tiles())
                count += tile->state() != StationTile::State::Working ? 1 : 0;
            return count;
        };
        // A hang guard only: the units end within seconds.
        QTRY_COMPARE_WITH_TIMEOUT(ended(), 8, 100000);
        QStringList states;
        for (StationTile *tile : window.tiles())
            states << tile->stateText();
        QCOMPARE(states.count(QStringLiteral("DONE")), 6);
        QCOMPARE(states.count(QStringLiteral("FAILED")), 2);
        QVERIFY(window.findChild<QLabel *>(QStringLiteral("countersLabel"))
                    ->text()
                    .startsWith(QStringLiteral("Done 6   Current 0   Failed 2")));

        QTest::mouseClick(window.findChild<QPushButton *>(QStringLiteral("stopButton")), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!window.isRunning(), 100000);
        QVERIFY(window.findChild<QPushButton *>(QStringLiteral("startButton"))->isEnabled());
        if (!qEnvironmentVariableIsEmpty("STATION_SCREENSHOT"))
            window.grab().save(qEnvironmentVariable("STATION_SCREENSHOT"));
    }
};

QTEST_MAIN(TestStationWindow)
#include "tst_stationwindow.moc"
