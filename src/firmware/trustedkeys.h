#pragma once

// The public keys whose signatures the tool accepts: those built into the
// program (TALVEX_TRUSTED_KEYS at configure time), the *.pub files of the
// machine's folder, and files given for one run (--key). A key file that
// cannot be read or parsed is noted as a problem and skipped; the other keys
// keep working. Filled once, then only read; any thread.

#include "firmware/minisignformat.h"

#include <QString>
#include <QStringList>
#include <QVector>

#include <vector>

class TrustedKeys
{
public:
    struct Key
    {
        Minisign::PublicKey key;
        // Where it came from: "built in (NAME)" or the file's path.
        QString source;
    };

    struct Problem
    {
        // A key file, or the machine's folder when it cannot be listed.
        QString file;
        SignatureFault fault = SignatureFault::None;
        QString detail;
        bool isFolder = false;
    };

    // A key built into the program, as CMake writes it.
    struct BuiltInKeyText
    {
        const char *name;
        const char *keyLine;
    };

    // The built-in keys, then every *.pub of machineFolder, then keyFiles.
    static TrustedKeys load(const QStringList &keyFiles, const QString &machineFolder = machineKeyFolder());

    // Linux /etc/talvex-updater/trusted-keys, Windows %ProgramData%\TALVEX
    // Updater\trusted-keys; TALVEX_TRUSTED_KEYS_DIR names another folder (the
    // keys of one run can be added with --key anyway, so this grants nothing).
    static QString machineKeyFolder();

    void addBuiltIn();
    // Every *.pub in folder; a folder that does not exist holds no keys.
    void addFolder(const QString &folder);
    void addFile(const QString &path);
    void add(const Minisign::PublicKey &key, const QString &source);

    const QVector<Key> &keys() const { return m_keys; }
    const QVector<Problem> &problems() const { return m_problems; }
    QVector<Minisign::PublicKey> withId(const Minisign::KeyId &keyId) const;

    // "FILE: cannot be read (Permission denied); the key is not used"; for
    // the folder: "FOLDER: is not a folder; its keys are not used".
    static QString problemText(const Problem &problem);

private:
    static const std::vector<BuiltInKeyText> &builtInKeyTexts();

    QVector<Key> m_keys;
    QVector<Problem> m_problems;
};
