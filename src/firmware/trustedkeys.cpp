#include "trustedkeys.h"

#include "firmware/firmwaresignature.h"
#include "firmware/machineconfig.h"

#include <QDir>
#include <QFileInfo>

TrustedKeys TrustedKeys::load(const QStringList &keyFiles, const QString &machineFolder)
{
    TrustedKeys keys;
    keys.addBuiltIn();
    keys.addFolder(machineFolder);
    for (const QString &file : keyFiles)
        keys.addFile(file);
    return keys;
}

QString TrustedKeys::machineKeyFolder()
{
    const QString folder = qEnvironmentVariable("TALVEX_TRUSTED_KEYS_DIR");
    return folder.isEmpty() ? MachineConfig::trustedKeysFolder() : folder;
}

void TrustedKeys::addBuiltIn()
{
    for (const BuiltInKeyText &text : builtInKeyTexts()) {
        const QString source = QStringLiteral("built in (%1)").arg(QString::fromUtf8(text.name));
        const Minisign::ParsedKey parsed = Minisign::parsePublicKeyLine(QByteArray(text.keyLine));
        if (parsed.fault == SignatureFault::None)
            m_keys.append({parsed.key, source});
        else
            m_problems.append({source, parsed.fault, QString()});
    }
}

void TrustedKeys::addFolder(const QString &folder)
{
    const QFileInfo info(folder);
    if (!info.exists())
        return;
    if (!info.isDir()) {
        m_problems.append({folder, SignatureFault::NotAFile, QString(), true});
        return;
    }
    const QDir dir(folder);
    if (!dir.isReadable()) {
        m_problems.append({folder, SignatureFault::Unreadable, QString(), true});
        return;
    }
    // Sorted, so that problems are reported in the same order on every run.
    for (const QString &name : dir.entryList({QStringLiteral("*.pub")},
             QDir::Files | QDir::Dirs | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name))
        addFile(dir.filePath(name));
}

void TrustedKeys::addFile(const QString &path)
{
    QByteArray text;
    QString detail;
    SignatureFault fault = FirmwareSignature::readSmallFile(path, &text, &detail);
    Minisign::ParsedKey parsed;
    if (fault == SignatureFault::None) {
        parsed = Minisign::parsePublicKeyFile(text);
        fault = parsed.fault;
    }
    if (fault == SignatureFault::None)
        m_keys.append({parsed.key, path});
    else
        m_problems.append({path, fault, detail});
}

void TrustedKeys::add(const Minisign::PublicKey &key, const QString &source)
{
    m_keys.append({key, source});
}

QVector<Minisign::PublicKey> TrustedKeys::withId(const Minisign::KeyId &keyId) const
{
    QVector<Minisign::PublicKey> found;
    for (const Key &key : m_keys) {
        if (key.key.keyId == keyId)
            found.append(key.key);
    }
    return found;
}

QString TrustedKeys::problemText(const Problem &problem)
{
    if (problem.isFolder) {
        const QString what = problem.fault == SignatureFault::NotAFile ? QStringLiteral("is not a folder")
                                                                       : QStringLiteral("cannot be listed");
        return QStringLiteral("%1: %2; its keys are not used").arg(problem.file, what);
    }
    QString text = QStringLiteral("%1: %2").arg(problem.file, signatureFaultText(problem.fault));
    if (!problem.detail.isEmpty())
        text += QStringLiteral(" (%1)").arg(problem.detail);
    return text + QStringLiteral("; the key is not used");
}
