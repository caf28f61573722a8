// talvex-cli run as a separate process: what `pack` writes, what `info` prints,
// the exit statuses, and that a refused pack leaves nothing behind.

#include "clirunner.h"
#include "firmware/firmwarefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

using Result = CliResult;

quint32 littleEndian32(const QByteArray &bytes, int offset)
{
    quint32 value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | quint8(bytes[offset + i]);
    return value;
}

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString payloadPath;
    QString outPath;

    static Result run(const QStringList &arguments, const QString &locale = QStringLiteral("C.UTF-8"))
    {
        return runCli(arguments, QString(), {}, locale);
    }

    static void writeFile(const QString &path, const QByteArray &bytes) { QVERIFY(writeBytes(path, bytes)); }

    static QByteArray readFile(const QString &path) { return readBytes(path); }

    QStringList filesInDir() const
    {
        return QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    }

    QStringList withPaths(QStringList arguments) const
    {
        arguments.replaceInStrings(QStringLiteral("PAYLOAD"), payloadPath);
        arguments.replaceInStrings(QStringLiteral("OUT"), outPath);
        return arguments;
    }

    // A valid file with this payload, written by the tool itself.
    QByteArray packedFile(const QByteArray &payload)
    {
        writeFile(payloadPath, payload);
        const Result packed = run(withPaths(
            {"pack", "--version", "1.4.2", "--build", "317", "--name", "master", "PAYLOAD", "OUT"}));
        return packed.exitCode == 0 ? readFile(outPath) : QByteArray();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        payloadPath = dir.filePath(QStringLiteral("payload.bin"));
        outPath = dir.filePath(QStringLiteral("out.tvf"));
    }

    void init()
    {
        QFile::remove(outPath);
        writeFile(payloadPath, "firmware image");
    }

    void packThenInfo_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QByteArray>("nameField");
        QTest::addColumn<QStringList>("expectedLines");

        QTest::addRow("release build, device values default to zero")
            << QStringList {"--version", "1.4.2", "--build", "317", "--name", "release/1.4.2"}
            << QByteArray("abc") << QByteArray("release/1.4.2")
            << QStringList {"version: 1.4.2 RC build nr 317", "name: release/1.4.2", "build: 317",
                   "payload: 3 bytes", "image-info: 03000000" + QString(40, '0')};
        QTest::addRow("largest numbers, one-byte payload")
            << QStringList {"--version", "255.255.255", "--build", "4294967295", "--name", "master"}
            << QByteArray("q") << QByteArray("master")
            << QStringList {"version: 255.255.255", "name: master", "build: 4294967295", "payload: 1 bytes",
                   "image-info: 01000000" + QString(40, '0')};
        QTest::addRow("16-byte name, device values with 0x and in upper case")
            << QStringList {"--version", "1.4.2", "--build", "7", "--name", "feature/ABC-1-x",
                   "--device-word", "0x12345678", "--device-block", "00112233445566778899AABBCCDDEEFF"}
            << QByteArray(10, '\x01') << QByteArray("feature/ABC-1-x")
            << QStringList {"version: 1.4.2 DEV build nr 7 (feature/ABC-1)", "name: feature/ABC-1-x",
                   "build: 7", "payload: 10 bytes",
                   "image-info: 0a00000078563412"
                   "00112233445566778899aabbccddeeff"};
        QTest::addRow("name of exactly 16 bytes kept whole")
            << QStringList {"--version", "0.1.0", "--build", "1", "--name", "develop-16-bytes"}
            << QByteArray("x") << QByteArray("develop-16-bytes")
            << QStringList {"version: 0.1.0 DEV build nr 1 (develop-16-bytes)", "name: develop-16-bytes",
                   "build: 1", "payload: 1 bytes", "image-info: 01000000" + QString(40, '0')};
        QTest::addRow("short device word, 0X block, = form, empty name")
            << QStringList {"--version=0.0.1", "--build=0", "--name=", "--device-word=ff",
                   "--device-block=0X" + QString(30, '0') + "01"}
            << QByteArray("y") << QByteArray()
            << QStringList {"version: 0.0.1 DEV build nr 0 ()", "name: ", "build: 0", "payload: 1 bytes",
                   "image-info: 01000000ff000000" + QString(30, '0') + "01"};
#ifndef Q_OS_WIN // one byte each in the ANSI code page
        QTest::addRow("two-byte characters filling 16 bytes")
            << QStringList {"--version", "2.0.0", "--build", "5", "--name", QString(8, QChar(0xE9))}
            << QByteArray("z") << QString(8, QChar(0xE9)).toUtf8()
            << QStringList {"version: 2.0.0 DEV build nr 5 (" + QString(8, QChar(0xE9)) + ")",
                   "name: " + QString(8, QChar(0xE9)), "build: 5", "payload: 1 bytes",
                   "image-info: 01000000" + QString(40, '0')};
#endif
        QTest::addRow("line break in the name stays on one line")
            << QStringList {"--version", "1.0.0", "--build", "2", "--name", "a\nversion: 9"}
            << QByteArray("z") << QByteArray("a\nversion: 9")
            << QStringList {"version: 1.0.0 DEV build nr 2 (a?version: 9)", "name: a?version: 9", "build: 2",
                   "payload: 1 bytes", "image-info: 01000000" + QString(40, '0')};
    }

    void packThenInfo()
    {
        QFETCH(QStringList, options);
        QFETCH(QByteArray, payload);
        QFETCH(QByteArray, nameField);
        QFETCH(QStringList, expectedLines);
        writeFile(payloadPath, payload);

        const Result packed = run(QStringList {"pack"} + options + QStringList {payloadPath, outPath});
        QCOMPARE(packed.err, QByteArray());
        QCOMPARE(packed.exitCode, 0);
        QCOMPARE(filesInDir(), (QStringList {"out.tvf", "payload.bin"}));

        const Result info = run({"info", outPath});
        QCOMPARE(info.err, QByteArray());
        QCOMPARE(info.exitCode, 0);
        QCOMPARE(QString::fromUtf8(info.out).split('\n'),
            (QStringList {"file: " + outPath} + expectedLines + QStringList {"signature: unsigned", QString()}));

        const QByteArray bytes = readFile(outPath);
        QCOMPARE(bytes.left(4), QByteArray("BZOK"));
        QCOMPARE(bytes.mid(7, 5), QByteArray(5, '\0'));
        QCOMPARE(bytes.mid(16, 16), nameField + QByteArray(16 - nameField.size(), '\0'));
        QCOMPARE(littleEndian32(bytes, 32), quint32(payload.size()));
        QCOMPARE(bytes.mid(60), payload);

        FirmwareFile firmware;
        firmware.loadFile(outPath);
        QCOMPARE(firmware.data(), payload);
    }

    void packRefuses_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");

        const QStringList version {"--version", "1.4.2"};
        const QStringList build {"--build", "317"};
        const QStringList name {"--name", "master"};
        const QStringList files {"PAYLOAD", "OUT"};
        const QStringList valid = version + build + name;

        QTest::addRow("name of 17 bytes")
            << version + build + QStringList {"--name", "release/1.4.2-rc1"} + files << "is 17 bytes long";
#ifndef Q_OS_WIN
        QTest::addRow("name of 9 two-byte characters")
            << version + build + QStringList {"--name", QString(9, QChar(0xE9))} + files
            << "is 18 bytes long";
#endif
        QTest::addRow("version number above 255")
            << QStringList {"--version", "1.256.0"} + build + name + files << "out of range";
        QTest::addRow("version with two numbers")
            << QStringList {"--version", "1.4"} + build + name + files << "X.Y.Z";
        QTest::addRow("version with four numbers")
            << QStringList {"--version", "1.4.2.0"} + build + name + files << "X.Y.Z";
        QTest::addRow("negative version number")
            << QStringList {"--version", "1.-4.2"} + build + name + files << "not a decimal number";
        QTest::addRow("empty version number")
            << QStringList {"--version", "1..2"} + build + name + files << "not a decimal number";
        QTest::addRow("version number with sign")
            << QStringList {"--version", "+1.4.2"} + build + name + files << "not a decimal number";
        QTest::addRow("build above 32 bits")
            << version + QStringList {"--build", "4294967296"} + name + files << "out of range";
        QTest::addRow("build in hex")
            << version + QStringList {"--build", "0x10"} + name + files << "not a decimal number";
        QTest::addRow("build with a space")
            << version + QStringList {"--build", " 12"} + name + files << "not a decimal number";
        QTest::addRow("device word of 9 digits")
            << valid + QStringList {"--device-word", "123456789"} + files << "more than 8 hex digits";
        QTest::addRow("device word not hex")
            << valid + QStringList {"--device-word", "12g4"} + files << "not a hex value";
        QTest::addRow("device word 0x alone")
            << valid + QStringList {"--device-word", "0x"} + files << "has no hex digits";
        QTest::addRow("device block of 31 digits")
            << valid + QStringList {"--device-block", QString(31, '1')} + files << "31 hex digits";
        QTest::addRow("device block of 33 digits")
            << valid + QStringList {"--device-block", "0x" + QString(33, '1')} + files << "33 hex digits";
        QTest::addRow("device block not hex")
            << valid + QStringList {"--device-block", QString(31, '1') + "z"} + files << "not a hex value";
        QTest::addRow("missing --version") << build + name + files << "--version is missing";
        QTest::addRow("missing --build") << version + name + files << "--build is missing";
        QTest::addRow("missing --name") << version + build + files << "--name is missing";
        QTest::addRow("name given twice") << valid + name + files << "--name is given more than once";
        QTest::addRow("option without value")
            << valid + files + QStringList {"--device-word"} << "Missing value";
        QTest::addRow("unknown option") << valid + QStringList {"--bogus"} + files << "Unknown option";
        QTest::addRow("OUT missing") << valid + QStringList {"PAYLOAD"} << "expected PAYLOAD and OUT";
        QTest::addRow("third file") << valid + files + QStringList {"PAYLOAD"} << "expected PAYLOAD and OUT";
#ifndef Q_OS_WIN
        QTest::addRow("empty payload") << valid + QStringList {"/dev/null", "OUT"} << "/dev/null is empty";
#endif
    }

    void packRefuses()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        const QStringList withFiles = withPaths(QStringList {"pack"} + arguments);

        const Result refused = run(withFiles);
        QCOMPARE(refused.exitCode, 2);
        QVERIFY2(refused.err.contains(message.toUtf8()), refused.err.constData());
        QVERIFY(refused.err.contains("usage: talvex-cli pack"));
        QCOMPARE(refused.out, QByteArray());
        QCOMPARE(filesInDir(), QStringList {"payload.bin"});

        writeFile(outPath, "previous file");
        QCOMPARE(run(withFiles).exitCode, 2);
        QCOMPARE(readFile(outPath), QByteArray("previous file"));
        QCOMPARE(filesInDir(), (QStringList {"out.tvf", "payload.bin"}));
    }

    void packFailsOnFileErrors_data()
    {
        QTest::addColumn<QString>("payload");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("message");
        QTest::addRow("missing payload") << "missing.bin"
                                         << "out.tvf"
                                         << "cannot read PAYLOAD";
        QTest::addRow("payload is a folder") << "."
                                             << "out.tvf"
                                             << "cannot read PAYLOAD";
        QTest::addRow("OUT in a missing folder") << "payload.bin"
                                                 << "nowhere/out.tvf"
                                                 << "cannot write OUT";
        QTest::addRow("OUT is a folder") << "payload.bin"
                                         << "."
                                         << "cannot write OUT";
    }

    void packFailsOnFileErrors()
    {
        QFETCH(QString, payload);
        QFETCH(QString, out);
        QFETCH(QString, message);
        const Result failed = run({"pack", "--version", "1.4.2", "--build", "1", "--name", "master",
            dir.filePath(payload), dir.filePath(out)});
        QCOMPARE(failed.exitCode, 1);
        QVERIFY2(failed.err.contains(message.toUtf8()), failed.err.constData());
        QCOMPARE(filesInDir(), QStringList {"payload.bin"});
    }

    // Sparse payloads: refused from their size, so no bytes are read or stored.
    void packRefusesPayloadTooLarge_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addRow("one byte more than a file can hold") << FirmwareFile::maxPayloadSize + 1;
        QTest::addRow("beyond 32 bits") << qint64(0x100000000);
    }

    void packRefusesPayloadTooLarge()
    {
        QFETCH(qint64, size);
        QFile payload(payloadPath);
        if (!payload.resize(size))
            QSKIP("the file system cannot hold a sparse file of this size");

        const Result refused = run(
            withPaths({"pack", "--version", "1.4.2", "--build", "1", "--name", "master", "PAYLOAD", "OUT"}));
        QCOMPARE(refused.exitCode, 2);
        QVERIFY2(refused.err.contains("a firmware file holds at most"), refused.err.constData());
        QCOMPARE(filesInDir(), QStringList {"payload.bin"});
    }

    void infoRefusesCorruptFile_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("exists");
        QTest::addColumn<QString>("reason");

        const QByteArray valid = packedFile("firmware image");
        QVERIFY(!valid.isEmpty());
        QByteArray changedHeader = valid;
        changedHeader[12] = char(changedHeader[12] + 1);
        QByteArray lowerCaseMagic = valid;
        lowerCaseMagic[0] = 'b';

        QTest::addRow("missing file") << QByteArray() << false << "no such file";
        QTest::addRow("unreadable file") << valid << true << "permission denied";
        QTest::addRow("empty file") << QByteArray() << true
                                    << "not a firmware file (0 bytes, shorter than a header)";
        QTest::addRow("last byte cut")
            << valid.left(valid.size() - 1) << true << "payload is 13 bytes, header says 14";
        QTest::addRow("byte appended") << valid + 'x' << true << "payload is 15 bytes, header says 14";
        QTest::addRow("build number changed") << changedHeader << true << "header checksum mismatch";
        QTest::addRow("magic in lower case") << lowerCaseMagic << true << "not a firmware file (bad magic)";
    }

    void infoRefusesCorruptFile()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, exists);
        QFETCH(QString, reason);
        if (exists)
            writeFile(outPath, bytes);
        if (reason == "permission denied") {
#ifdef Q_OS_WIN
            QSKIP("Windows has no file permission that takes reading away from its owner");
#else
            if (::geteuid() == 0)
                QSKIP("root reads any file");
#endif
            QVERIFY(QFile::setPermissions(outPath, QFileDevice::WriteOwner));
        }

        const Result info = run({"info", outPath});
        QCOMPARE(info.exitCode, 1);
        QCOMPARE(
            QString::fromUtf8(info.err), QStringLiteral("talvex-cli info: %1: %2\n").arg(outPath, reason));
        QCOMPARE(info.out, QByteArray());
    }

    void usageError_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addRow("no command") << QStringList();
        QTest::addRow("unknown command") << QStringList {"flash"};
        QTest::addRow("info without file") << QStringList {"info"};
        QTest::addRow("info with two files") << QStringList {"info", "a.tvf", "b.tvf"};
        QTest::addRow("info with unknown option") << QStringList {"info", "--bogus", "a.tvf"};
        QTest::addRow("pack without arguments") << QStringList {"pack"};
    }

    void usageError()
    {
        QFETCH(QStringList, arguments);
        const Result result = run(arguments);
        QCOMPARE(result.exitCode, 2);
        QVERIFY2(result.err.contains("usage: talvex-cli"), result.err.constData());
        QCOMPARE(result.out, QByteArray());
    }

    void help_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("mentions");
        QTest::addRow("tool") << QStringList {"--help"} << "info FILE";
        QTest::addRow("tool, short") << QStringList {"-h"} << "Exit status";
        QTest::addRow("info") << QStringList {"info", "--help"} << "image-info";
        QTest::addRow("pack") << QStringList {"pack", "-h"} << "--device-block HEX";
        QTest::addRow("tool names --version") << QStringList {"--help"} << "--version";
    }

    void help()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, mentions);
        const Result result = run(arguments);
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.err, QByteArray());
        QVERIFY(result.out.startsWith("usage: talvex-cli "));
        QVERIFY(result.out.contains(mentions.toUtf8()));
    }

    // Names are UTF-8 on Linux whether Qt 5 or Qt 6 runs the tool and whatever
    // the locale says, so a file packed in one shell reads the same in another.
    void namesAreUtf8WhateverTheLocale_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addRow("C") << "C";
        QTest::addRow("POSIX") << "POSIX";
        QTest::addRow("C.UTF-8") << "C.UTF-8";
        QTest::addRow("no locale variables") << QString();
    }

    void namesAreUtf8WhateverTheLocale()
    {
        QFETCH(QString, locale);
#ifdef Q_OS_WIN
        QSKIP("Windows keeps names in the ANSI code page: namesAreInTheAnsiCodePageOnWindows");
#endif
        const QByteArray name = "Gr\xc3\xbc\xc3\x9f"
                                "e \xe2\x82\xac";
        writeFile(payloadPath, "x");
        const Result packed = run(QStringList {"pack", "--version", "1.0.0", "--build", "1", "--name",
                                      QString::fromUtf8(name), payloadPath, outPath},
            locale);
        QCOMPARE(packed.err, QByteArray());
        QCOMPARE(packed.exitCode, 0);
        QCOMPARE(readFile(outPath).mid(16, 16), name + QByteArray(16 - name.size(), '\0'));

        const Result info = run({"info", outPath}, locale);
        QCOMPARE(info.exitCode, 0);
        QVERIFY2(info.out.contains("\nname: " + name + "\n"), info.out.constData());

        FirmwareFile::THeader header {};
        std::memcpy(header.magic, "BZOK", 4);
        std::memcpy(header.name, "x\xe9y", 3);
        header.dataSize = 1;
        writeFile(outPath, FirmwareFile::fileHeaderBytes(header) + "x");
        const Result lone = run({"info", outPath}, locale);
        QCOMPARE(lone.exitCode, 0);
        QVERIFY2(lone.out.contains("\nname: x\xef\xbf\xbdy\n"), lone.out.constData());
    }

    void versionIsTheProjectVersion()
    {
        const Result result = run({"--version"});
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.err, QByteArray());
        QCOMPARE(result.out, QByteArray("talvex-cli " TALVEX_PROJECT_VERSION "\n"));
    }

    // The local 8-bit code page of Windows is its ANSI code page (1252 in
    // the test's Wine prefix): names go into the file and out to the
    // console in it.
    void namesAreInTheAnsiCodePageOnWindows()
    {
#ifndef Q_OS_WIN
        QSKIP("Windows only");
#else
        QCOMPARE(GetACP(), 1252u);
        const QString name = QString::fromUtf8("Gr\xc3\xbc\xc3\x9f"
                                               "e \xe2\x82\xac");
        const QByteArray ansi("Gr\xfc\xdf"
                              "e \x80");
        writeFile(payloadPath, "x");
        const Result packed = run(
            QStringList {"pack", "--version", "1.0.0", "--build", "1", "--name", name, payloadPath, outPath});
        QCOMPARE(packed.exitCode, 0);
        QCOMPARE(readFile(outPath).mid(16, 16), ansi + QByteArray(16 - ansi.size(), '\0'));
        const Result info = run({"info", outPath});
        QVERIFY2(info.out.contains("\nname: " + ansi + "\n"), info.out.constData());

        // A Windows path with a space and non-ASCII letters, written over
        // an existing file (the rename that finishes the write replaces it).
        const QString folder = QDir::toNativeSeparators(QFileInfo(outPath).path() + "/dir \u00fc\u20ac");
        QVERIFY(QDir().mkpath(folder));
        const QString target = folder + "\\out fw.tvf";
        for (const QString version : {"1.0.1", "1.0.2"})
            QCOMPARE(run({"pack", "--version", version, "--build", "1", "--name", "n", payloadPath, target})
                         .exitCode,
                0);
        QVERIFY(run({"info", target}).out.contains("\nversion: 1.0.2 "));
        QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList {"out fw.tvf"});
#endif
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
