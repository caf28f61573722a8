// What the station keeps on disk: the serial range, the reservations that
// survive a crash, and the record a crash cannot tear.

#include "station/serialrange.h"
#include "station/stationrecord.h"
#include "station/stationstate.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestStationFiles : public QObject
{
    Q_OBJECT

private slots:
    void serialRange_data()
    {
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QString>("serial");
        QTest::addColumn<qint64>("number");
        QTest::addRow("in range") << "ZOK{000100..000999}" << true << "ZOK000100" << qint64(100);
        QTest::addRow("last") << "ZOK{000100..000999}" << true << "ZOK000999" << qint64(999);
        QTest::addRow("below") << "ZOK{000100..000999}" << true << "ZOK000099" << qint64(-1);
        QTest::addRow("other prefix") << "ZOK{000100..000999}" << true << "ZOX000100" << qint64(-1);
        QTest::addRow("fewer digits") << "ZOK{000100..000999}" << true << "ZOK00100" << qint64(-1);
        QTest::addRow("no prefix") << "{1..9}" << true << "5" << qint64(5);
        QTest::addRow("last below first") << "ZOK{0009..0001}" << false << "" << qint64(-1);
        QTest::addRow("digit counts differ") << "ZOK{1..100}" << false << "" << qint64(-1);
        QTest::addRow("too long for the device") << "ABCDEFGHIJKLMN{000..999}" << false << "" << qint64(-1);
        QTest::addRow("no braces") << "ZOK000100" << false << "" << qint64(-1);
    }
    void serialRange()
    {
        QFETCH(QString, pattern);
        QFETCH(bool, valid);
        QFETCH(QString, serial);
        QFETCH(qint64, number);
        const SerialRange range = SerialRange::parse(pattern);
        QCOMPARE(range.isValid(), valid);
        QCOMPARE(range.error().isEmpty(), valid);
        if (!valid)
            return;
        QCOMPARE(range.pattern(), pattern);
        QCOMPARE(range.numberOf(serial), number);
        if (number >= 0)
            QCOMPARE(range.serial(number), serial);
    }

    void reservationLeftByACrashIsBurnt()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("state.json"));
        const SerialRange range = SerialRange::parse(QStringLiteral("S{01..03}"));
        QString error;
        {
            StationState state;
            QVERIFY2(state.open(file, range, &error), qPrintable(error));
            const QString first = state.reserve(&error);
            QVERIFY(state.settle(first, true, &error));
            // A second word on the same serial changes nothing.
            QVERIFY(state.settle(first, false, &error));
            // S02 is on a device already, from elsewhere.
            QVERIFY(state.noteKept(QStringLiteral("S02"), &error));
            QCOMPARE(state.reserve(&error), QStringLiteral("S03"));
            // Ends here as a crash would, with S03 reserved.
        }
        StationState state;
        QVERIFY2(state.open(file, range, &error), qPrintable(error));
        QCOMPARE(state.given(), QStringList({QStringLiteral("S01"), QStringLiteral("S02")}));
        QCOMPARE(state.burnt(), QStringList {QStringLiteral("S03")});
        QVERIFY(state.reserve(&error).isEmpty());
        QVERIFY(error.contains(QStringLiteral("used up")));
        StationState other;
        QVERIFY(!other.open(file, SerialRange::parse(QStringLiteral("T{01..03}")), &error));
    }

    void tornLastLineIsCutOff_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("after");
        QTest::addRow("empty") << QByteArray() << QByteArray("{\"n\":1}\n");
        QTest::addRow("whole lines") << QByteArray("{\"n\":0}\n") << QByteArray("{\"n\":0}\n{\"n\":1}\n");
        QTest::addRow("torn line") << QByteArray("{\"n\":0}\n{\"n\":")
                                   << QByteArray("{\"n\":0}\n{\"n\":1}\n");
        QTest::addRow("only a torn line") << QByteArray("{\"n") << QByteArray("{\"n\":1}\n");
    }
    void tornLastLineIsCutOff()
    {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, after);
        QTemporaryDir dir;
        const QString name = dir.filePath(QStringLiteral("record.jsonl"));
        QFile file(name);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(before) == before.size());
        file.close();
        QString error;
        StationRecord record;
        QVERIFY2(record.open(name, &error), qPrintable(error));
        StationRecord second;
        QVERIFY2(!second.open(name, &error), "a second station must not share the record");
        QVERIFY(record.append(QJsonObject {{QStringLiteral("n"), 1}}, &error));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), after);
    }
};

QTEST_GUILESS_MAIN(TestStationFiles)
#include "tst_stationfiles.moc"
