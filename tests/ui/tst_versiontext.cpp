#include <QtTest>

#include <cstring>

#include "ui/versiontext.h"

class tst_VersionText : public QObject
{
    Q_OBJECT

private slots:
    void formatVersion_data()
    {
        QTest::addColumn<int>("version");
        QTest::addColumn<int>("subversion");
        QTest::addColumn<int>("bugfix");
        QTest::addColumn<quint32>("build");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");

        QTest::addRow("release") << 1 << 4 << 2 << 317u << "release/1.4.2"
                                 << "1.4.2 RC build nr 317";
        QTest::addRow("master hides build and name") << 1 << 4 << 2 << 317u << "master"
                                                     << "1.4.2";
        QTest::addRow("feature cut at second dash") << 1 << 4 << 2 << 317u << "feature/ABC-12-new-menu"
                                                    << "1.4.2 DEV build nr 317 (feature/ABC-12)";
        QTest::addRow("hotfix without dash") << 1 << 4 << 2 << 317u << "hotfix/crash"
                                             << "1.4.2 DEV build nr 317 (hotfix/crash)";
        QTest::addRow("other branch") << 1 << 4 << 2 << 317u << "develop"
                                      << "1.4.2 DEV build nr 317 (develop)";
        QTest::addRow("release is case-sensitive") << 1 << 4 << 2 << 317u << "Release/1.4"
                                                   << "1.4.2 DEV build nr 317 (Release)";
        QTest::addRow("empty name") << 1 << 4 << 2 << 317u << ""
                                    << "1.4.2 DEV build nr 317 ()";
        QTest::addRow("feature without dash") << 1 << 4 << 2 << 317u << "feature/ABC"
                                              << "1.4.2 DEV build nr 317 (feature/ABC)";
        QTest::addRow("bugfix with one dash") << 1 << 4 << 2 << 317u << "bugfix/X-1"
                                              << "1.4.2 DEV build nr 317 (bugfix/X-1)";
        QTest::addRow("other prefix keeps first part") << 1 << 4 << 2 << 317u << "support/1.x"
                                                       << "1.4.2 DEV build nr 317 (support)";
        QTest::addRow("leading slash gives empty label") << 1 << 4 << 2 << 317u << "/master"
                                                         << "1.4.2 DEV build nr 317 ()";
        QTest::addRow("master with a slash") << 1 << 4 << 2 << 317u << "master/x"
                                             << "1.4.2";
        QTest::addRow("largest numbers unsigned") << 255 << 255 << 255 << 4294967295u << "release/x"
                                                  << "255.255.255 RC build nr 4294967295";
        QTest::addRow("zeros") << 0 << 0 << 0 << 0u << "develop"
                               << "0.0.0 DEV build nr 0 (develop)";
        QTest::addRow("place markers in the name stay text") << 1 << 0 << 0 << 5u << "x%1%2"
                                                             << "1.0.0 DEV build nr 5 (x%1%2)";
    }

    void formatVersion()
    {
        QFETCH(int, version);
        QFETCH(int, subversion);
        QFETCH(int, bugfix);
        QFETCH(quint32, build);
        QFETCH(QString, name);
        QTEST(::formatVersion(quint8(version), quint8(subversion), quint8(bugfix), build, name), "expected");
    }

    void boardVersionText_data()
    {
        QTest::addColumn<int>("board");
        QTest::addColumn<int>("sub");
        QTest::addColumn<QString>("expected");
        QTest::addRow("2.0") << 2 << 0 << "2.0";
        QTest::addRow("no leading zeros") << 10 << 7 << "10.7";
        QTest::addRow("largest") << 255 << 255 << "255.255";
    }

    void boardVersionText()
    {
        QFETCH(int, board);
        QFETCH(int, sub);
        QTEST(::boardVersionText(quint8(board), quint8(sub)), "expected");
    }

    void firmwareNameText_data()
    {
        QTest::addColumn<QByteArray>("field");
        QTest::addColumn<QString>("expected");
        QTest::addRow("stops at first zero") << QByteArray("master\0junk\0\0\0\0\0", 16) << "master";
        QTest::addRow("all sixteen bytes without zero")
            << QByteArray("release/1.4.2-rc") << "release/1.4.2-rc";
        QTest::addRow("empty") << QByteArray(16, '\0') << "";
#ifdef Q_OS_WIN
        // The ANSI code page (1252 in the test's Wine prefix).
        QTest::addRow("ANSI code page") << QByteArray("Gr\xfc\xdf"
                                                      "e \x80\0\0\0\0\0\0\0\0\0",
            16)
                                        << QString::fromUtf8("Gr\xc3\xbc\xc3\x9f"
                                                             "e \xe2\x82\xac");
#else
        QTest::addRow("UTF-8 whatever the locale") << QByteArray("Gr\xc3\xbc\xc3\x9f"
                                                                 "e\0\0\0\0\0\0\0\0\0",
            16)
                                                   << QString::fromUtf8("Gr\xc3\xbc\xc3\x9f"
                                                                        "e");
        QTest::addRow("byte outside UTF-8 shows as a replacement, not dropped")
            << QByteArray("x\xe9y\0\0\0\0\0\0\0\0\0\0\0\0\0", 16) << QStringLiteral("x\ufffdy");
#endif
    }

    void firmwareNameText()
    {
        QFETCH(QByteArray, field);
        QCOMPARE(field.size(), 16);
        char name[16];
        std::memcpy(name, field.constData(), 16);
        QTEST(::firmwareNameText(name), "expected");
    }
};

QTEST_MAIN(tst_VersionText)
#include "tst_versiontext.moc"
