// The station window with its station on simulated devices plugged in at
// different moments: five to flash, one whose write fails, one pulled out
// mid-flash and one already current.

#include "app/stationside.h"
#include "firmwarefixture.h"
#include "protocol/sim/vantorwire.h"
#include "ui/stationtile.h"
#include "ui/stationwindow.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

Q_DECLARE_METATYPE(StationTile::State)

class TestStationWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        useTestSettings(m_dir.filePath(QStringLiteral("settings")));
        const std::vector<uint8_t> image = vantorImagePayload(7, 3, 1, 4242, "master", 1000);
        const QString file = writeFirmwareFile(m_dir.filePath(QStringLiteral("fw.tvf")), 7, 3, 1, 4242,
            "master", QByteArray(reinterpret_cast<const char *>(image.data()), int(image.size())));
        // The eighth device already runs the file: flashed before, as its state file keeps it.
        const QString deviceState = QStringLiteral(",state=") + m_dir.filePath(QStringLiteral("sim.json"));
        QProcess flash;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(
            QStringLiteral("TALVEX_SIMULATOR"), QStringLiteral("serial=ZOK000008") + deviceState);
        flash.setProcessEnvironment(environment);
        flash.start(QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("talvex-cli")),
            {QStringLiteral("flash"), file});
        QVERIFY(flash.waitForFinished(100000));
        QCOMPARE(flash.exitCode(), 0);
        // The station beside the window inherits these devices: the third's second write
        // fails; the sixth is pulled out 1.5 s after it came, long after a busy station
        // first sees it and while the device still writes its image.
        qputenv("TALVEX_SIMULATOR",
            ("restart-ms=100,busy-ms=2500,devices=8,arrive=0,200,400,600,800,1000,1200,1400,"
             "leave=-,-,-,-,-,2500,fail-batch=2,fault-devices=3"
                + deviceState)
                .toUtf8());

        m_window = std::make_unique<StationWindow>();
        m_side = std::make_unique<StationSide>(m_window.get(), m_dir.path());
        m_window->show();
        QVERIFY(m_window->loadFirmwareFile(file));
        m_window->findChild<QLineEdit *>(QStringLiteral("serialPatternEdit"))
            ->setText(QStringLiteral("ZOK{000100..000999}"));
        m_window->findChild<QLineEdit *>(QStringLiteral("boardVersionEdit"))->setText(QStringLiteral("2.1"));
        // Named before Start (StationSide's constructor), so the operator knows where they go.
        const QString files = label(m_window.get(), "stationFilesLabel")->text();
        QVERIFY2(
            files.contains(m_side->recordFile()) && files.contains(m_side->stateFile()), qPrintable(files));
        QTest::mouseClick(button("startButton"), Qt::LeftButton);
        QTRY_VERIFY(button("stopButton")->isEnabled());

        // A guard against a hang only: the units end within seconds.
        QTRY_COMPARE_WITH_TIMEOUT(
            label(m_window.get(), "inProgressCountLabel")->text() + " " + QString::number(finishedTiles()),
            QStringLiteral("In progress: 0 8"), 100000);
    }

    void tilesShowEachUnitsEnd_data()
    {
        QTest::addColumn<QString>("result");
        QTest::addColumn<StationTile::State>("state");
        QTest::addColumn<QString>("serials");
        QTest::addColumn<int>("distinctSerials");
        QTest::addColumn<bool>("withReason");
        QTest::addRow("flashed, each given the next serial of the range")
            << "Done" << StationTile::State::Done << "ZOK0001\\d\\d" << 5 << false;
        QTest::addRow("already current, given a serial of the range all the same")
            << "Already current" << StationTile::State::Done << "ZOK0001\\d\\d" << 1 << false;
        QTest::addRow("a failed write and a pulled plug fail their units alone, with the reason")
            << "Failed" << StationTile::State::Failed << "ZOK00000[36]" << 2 << true;
    }

    void tilesShowEachUnitsEnd()
    {
        QFETCH(QString, result);
        QFETCH(StationTile::State, state);
        QFETCH(QString, serials);
        QFETCH(int, distinctSerials);
        QFETCH(bool, withReason);
        QSet<QString> seen;
        for (StationTile *tile : m_window->findChildren<StationTile *>()) {
            if (label(tile, "phaseLabel")->text() != result)
                continue;
            QCOMPARE(tile->state(), state);
            const QString serial = label(tile, "serialLabel")->text();
            QVERIFY2(
                QRegularExpression(QRegularExpression::anchoredPattern(serials)).match(serial).hasMatch(),
                qPrintable(serial));
            QCOMPARE(!label(tile, "reasonLabel")->text().isEmpty(), withReason);
            seen << serial;
        }
        QCOMPARE(seen.size(), distinctSerials);
    }

    void countersAndRecordFollowTheUnits()
    {
        QCOMPARE(label(m_window.get(), "doneCountLabel")->text(), QStringLiteral("Done: 5"));
        QCOMPARE(label(m_window.get(), "currentCountLabel")->text(), QStringLiteral("Already current: 1"));
        QCOMPARE(label(m_window.get(), "failedCountLabel")->text(), QStringLiteral("Failed: 2"));
        QFile record(m_side->recordFile());
        QVERIFY(record.open(QFile::ReadOnly));
        QCOMPARE(record.readAll().count('\n'), 8);
    }

    void stopEndsTheStationAndAllowsAnotherStart()
    {
        QTest::mouseClick(button("stopButton"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(button("startButton")->isEnabled(), 100000);
        QVERIFY(!m_window->isRunning());
        QVERIFY(!button("stopButton")->isEnabled());
    }

    void aRefusedRangeEndsTheStartWithTheReason()
    {
        m_window->findChild<QLineEdit *>(QStringLiteral("serialPatternEdit"))
            ->setText(QStringLiteral("ZOK{9..1}"));
        QTest::mouseClick(button("startButton"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(button("startButton")->isEnabled(), 100000);
        // Worded for the window: no option of the command line, and the real cause.
        const QString status = label(m_window.get(), "statusLabel")->text();
        QVERIFY2(!status.contains(QStringLiteral("--")) && status.contains(QStringLiteral("below its first")),
            qPrintable(status));
    }

    void closingWhileRunningStopsTheStationFirst()
    {
        m_window->findChild<QLineEdit *>(QStringLiteral("serialPatternEdit"))
            ->setText(QStringLiteral("ZOK{000100..000999}"));
        QTest::mouseClick(button("startButton"), Qt::LeftButton);
        QTRY_VERIFY(button("stopButton")->isEnabled());
        QVERIFY(!m_window->close());
        QVERIFY(m_window->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(!m_window->isVisible(), 100000);
        QVERIFY(!m_window->isRunning());
    }

    void cleanupTestCase()
    {
        m_side.reset();
        m_window.reset();
    }

private:
    QPushButton *button(const char *name) const
    {
        return m_window->findChild<QPushButton *>(QLatin1String(name));
    }
    static QLabel *label(QWidget *parent, const char *name)
    {
        return parent->findChild<QLabel *>(QLatin1String(name));
    }
    int finishedTiles() const
    {
        int finished = 0;
        for (StationTile *tile : m_window->findChildren<StationTile *>())
            finished += tile->isFinished() ? 1 : 0;
        return finished;
    }

    QTemporaryDir m_dir;
    std::unique_ptr<StationWindow> m_window;
    std::unique_ptr<StationSide> m_side;
};

QTEST_MAIN(TestStationWindow)
#include "tst_stationwindow.moc"
