// What the station keeps on disk: the serial range, the reservations that
// survive a crash, the record a crash cannot tear, and the words for a
// unit's result and phases that its lines carry.

#include "station/serialrange.h"
#include "station/stationrecord.h"
#include "station/stationstate.h"
#include "station/unitoutcome.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

class TestStationFiles : public QObject
{
    Q_OBJECT

private slots:
    // The record's and --json's words stay as lines already written read
    // them; the window shows its own.
    void unitResultWords_data()
    {
        QTest::addColumn<UnitResult>("result");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("goal");
        QTest::addRow("done") << UnitResult::Done << "done"
                              << "Done" << true;
        QTest::addRow("already current, with its space") << UnitResult::AlreadyCurrent << "already current"
                                                         << "Already current" << true;
        QTest::addRow("failed") << UnitResult::Failed << "failed"
                                << "Failed" << false;
        QTest::addRow("aborted") << UnitResult::Aborted << "aborted"
                                 << "Aborted" << false;
        QTest::addRow("not recorded, with its space") << UnitResult::NotRecorded << "not recorded"
                                                      << "Not recorded" << false;
    }
    void unitResultWords()
    {
        QFETCH(UnitResult, result);
        QTEST(unitResultKey(result), "key");
        QTEST(unitResultText(result), "text");
        QTEST(reachedGoal(result), "goal");
    }

    void unitPhaseWords_data()
    {
        QTest::addColumn<UnitPhase>("phase");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("text");
        QTest::addRow("opening") << UnitPhase::Opening << "opening"
                                 << "Opening";
        QTest::addRow("flashing") << UnitPhase::Flashing << "flashing"
                                  << "Flashing";
        QTest::addRow("finishing") << UnitPhase::Finishing << "finishing"
                                   << "Finishing";
        QTest::addRow("restarting") << UnitPhase::Restarting << "restarting"
                                    << "Restarting";
        QTest::addRow("identity") << UnitPhase::Identity << "identity"
                                  << "Identity";
    }
    void unitPhaseWords()
    {
        QFETCH(UnitPhase, phase);
        QTEST(unitPhaseKey(phase), "key");
        QTEST(unitPhaseText(phase), "text");
    }

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
        QCOMPARE(range.problem() == SerialRange::Problem::None, valid);
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
        const SerialRange range = SerialRange::parse(QStringLiteral("S{01..04}"));
        QString error;
        {
            StationState state;
            QVERIFY2(state.open(file, range, &error), qPrintable(error));
            const QString first = state.reserve(QStringLiteral("usb1"), &error);
            QVERIFY(state.settle(first, true, &error));
            // A second word on the same serial changes nothing.
            QVERIFY(state.settle(first, false, &error));
            // S02 is on a device already, from elsewhere.
            QCOMPARE(state.claim(QStringLiteral("S02"), QStringLiteral("usb2"), &error),
                StationState::Claim::Kept);
            QCOMPARE(state.reserve(QStringLiteral("usb3"), &error), QStringLiteral("S03"));
            // Ends here as a crash would, with S03 reserved.
        }
        {
            StationState state;
            QVERIFY2(state.open(file, range, &error), qPrintable(error));
            QCOMPARE(state.next(), qint64(4));
            for (const char *given : {"S01", "S02"}) {
                QCOMPARE(state.claim(QString::fromLatin1(given), QStringLiteral("usb9"), &error),
                    StationState::Claim::Taken);
            }
            // A burnt serial is on no unit this station knows of: a device with it is refused.
            QCOMPARE(state.claim(QStringLiteral("S03"), QStringLiteral("usb9"), &error),
                StationState::Claim::Taken);
            QCOMPARE(state.reserve(QStringLiteral("usb4"), &error), QStringLiteral("S04"));
            QVERIFY(state.reserve(QStringLiteral("usb5"), &error).isEmpty());
            QVERIFY(error.contains(QStringLiteral("used up")));
        }
        // A range with no serial left is refused at the start, not unit by unit.
        StationState usedUp;
        QVERIFY(!usedUp.open(file, range, &error));
        QVERIFY2(error.contains(QStringLiteral("used up")), qPrintable(error));
        StationState other;
        QVERIFY(!other.open(file, SerialRange::parse(QStringLiteral("T{01..03}")), &error));
        QVERIFY2(error.contains(QStringLiteral("belongs to the range")), qPrintable(error));
    }

    // A state of the first version, which listed every serial handed out, is
    // carried over: S01-S05 lie behind its next serial (S01 given to usb1, S02
    // to usb2, S03 to a unit not known, S04 burnt on usb4, S05 reserved for
    // usb5 when the station died), and S08 is kept by usb8 ahead of it. Here
    // S06 is then given to usb6, S07 burnt on usb7, and S08 passed over.
    void firstVersionCarriedOver_data()
    {
        QTest::addColumn<QString>("serial");
        // A crash tore the last entry of the history.
        QTest::addColumn<bool>("torn");
        QTest::addColumn<QString>("holder");
        QTest::addColumn<bool>("kept");
        // What the refusal names when the device may not keep it.
        QTest::addColumn<QString>("refusal");
        QTest::addRow("given behind, its unit again") << "S01" << false << "usb1" << true << QString();
        QTest::addRow("given behind, another unit")
            << "S02" << false << "usb9" << false << "given or kept, USB serial usb2";
        QTest::addRow("given behind, no USB serial")
            << "S01" << false << QString() << false << "given or kept, USB serial usb1";
        QTest::addRow("unknown owner") << "S03" << false << "usb3" << false << "(given or kept)";
        QTest::addRow("burnt, another unit") << "S04" << false << "usb9" << false << "burnt, USB serial usb4";
        QTest::addRow("burnt, its unit took it") << "S04" << false << "usb4" << true << QString();
        QTest::addRow("reserved at the crash, another unit")
            << "S05" << false << "usb9" << false << "burnt, USB serial usb5";
        QTest::addRow("kept ahead, then passed, another unit")
            << "S08" << false << "usb9" << false << "given or kept, USB serial usb8";
        QTest::addRow("kept ahead, then passed, its unit") << "S08" << false << "usb8" << true << QString();
        QTest::addRow("given here, its unit again") << "S06" << false << "usb6" << true << QString();
        QTest::addRow("given here, another unit")
            << "S06" << false << "usb9" << false << "given or kept, USB serial usb6";
        QTest::addRow("burnt here") << "S07" << false << "usb9" << false << "burnt, USB serial usb7";
        QTest::addRow("given after a torn history line") << "S06" << true << "usb6" << true << QString();
    }
    void firstVersionCarriedOver()
    {
        QFETCH(QString, serial);
        QFETCH(bool, torn);
        QFETCH(QString, holder);
        QFETCH(bool, kept);
        QFETCH(QString, refusal);
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("state.json"));
        const SerialRange range = SerialRange::parse(QStringLiteral("S{01..20}"));
        const QJsonObject firstVersion {{"format", "talvex-station-state"}, {"version", 1},
            {"range", "S{01..20}"}, {"next", 6}, {"given", QJsonArray {"S01", "S02", "S03", "S08"}},
            {"burnt", QJsonArray {"S04"}}, {"reserved", QJsonArray {"S05"}},
            {"holders",
                QJsonObject {
                    {"S01", "usb1"}, {"S02", "usb2"}, {"S04", "usb4"}, {"S05", "usb5"}, {"S08", "usb8"}}}};
        QFile written(file);
        QVERIFY(
            written.open(QIODevice::WriteOnly) && written.write(QJsonDocument(firstVersion).toJson()) > 0);
        written.close();
        QString error;
        {
            StationState state;
            QVERIFY2(state.open(file, range, &error), qPrintable(error));
            QCOMPARE(state.next(), qint64(6));
            QCOMPARE(state.left(), qint64(14));
        }
        // Nothing behind the next serial stays in the state.
        QVERIFY(written.open(QIODevice::ReadOnly));
        const QJsonObject saved = QJsonDocument::fromJson(written.readAll()).object();
        written.close();
        QCOMPARE(saved.value("version").toInt(), 2);
        QCOMPARE(saved.value("reserved").toObject(), QJsonObject());
        QCOMPARE(saved.value("kept").toObject(), (QJsonObject {{"S08", "usb8"}}));
        if (torn) {
            QFile history(file + QStringLiteral(".history"));
            QVERIFY(
                history.open(QIODevice::Append) && history.write("{\"burnt\":false,\"holder\":\"usb") > 0);
        }
        StationState state;
        QVERIFY2(state.open(file, range, &error), qPrintable(error));
        for (const bool written : {true, false}) {
            const QString given = state.reserve(QStringLiteral("usb%1").arg(state.next()), &error);
            QVERIFY2(state.settle(given, written, &error), qPrintable(error));
        }
        QCOMPARE(state.reserve(QStringLiteral("usb9"), &error), QStringLiteral("S09"));
        const StationState::Claim claim = state.claim(serial, holder, &error);
        QCOMPARE(claim, kept ? StationState::Claim::Kept : StationState::Claim::Taken);
        if (!kept)
            QVERIFY2(error.contains(refusal), qPrintable(error));
    }

    // Only a file of records is appended to, and only a torn record line is cut.
    void tornLastLineIsCutOff_data()
    {
        QTest::addColumn<QByteArray>("before");
        // Empty: the file is refused and left byte for byte.
        QTest::addColumn<QByteArray>("after");
        const QByteArray line0 = recordLine(0);
        const QByteArray line1 = recordLine(1);
        QTest::addRow("empty") << QByteArray() << line1;
        QTest::addRow("whole lines") << line0 << line0 + line1;
        QTest::addRow("torn line") << line0 + line1.left(30) << line0 + line1;
        QTest::addRow("only a torn line") << line0.left(5) << line1;
        QTest::addRow("a firmware file is never cut")
            << QByteArray("BZOK\x01\x00\x07\n\x03garbage", 17) << QByteArray();
        QTest::addRow("a JSON file without a newline is never cut")
            << QByteArray("{\"a\":1}") << QByteArray();
        QTest::addRow("first line no record") << QByteArray("{\"n\":0}\n") + line0 << QByteArray();
        QTest::addRow("last line no record") << line0 + QByteArray("{\"n\":0}\n") << QByteArray();
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
        QCOMPARE(record.open(name, &error), !after.isEmpty());
        if (after.isEmpty()) {
            QVERIFY(error.contains(QStringLiteral("not a record")));
        } else {
            StationRecord second;
            QVERIFY2(!second.open(name, &error), "a second station must not share the record");
            QVERIFY(record.append(QJsonDocument::fromJson(recordLine(1)).object(), &error));
        }
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), after.isEmpty() ? before : after);
    }

private:
    static QByteArray recordLine(int n)
    {
        const QJsonObject line {{QStringLiteral("board"), QStringLiteral("2.1")},
            {QStringLiteral("port"), QStringLiteral("usb:1-%1").arg(n)},
            {QStringLiteral("result"), QStringLiteral("done")}, {QStringLiteral("sha256"), QString()},
            {QStringLiteral("station"), QStringLiteral("bench")},
            {QStringLiteral("time"), QStringLiteral("2026-01-01T00:00:00Z")}};
        return QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';
    }
};

QTEST_GUILESS_MAIN(TestStationFiles)
#include "tst_stationfiles.moc"
