#include "firmware/versiontext.h"

#include "qtcompat.h"

#include <QStringList>

#include <cstring>

QString formatVersion(quint8 version, quint8 subversion, quint8 bugfix, quint32 build, QString name)
{
    const QString branch = name.section(QLatin1Char('/'), 0, 0);

    if (branch == QLatin1String("release"))
        return QStringLiteral("%1.%2.%3 RC build nr %4").arg(version).arg(subversion).arg(bugfix).arg(build);
    if (branch == QLatin1String("master"))
        return QStringLiteral("%1.%2.%3").arg(version).arg(subversion).arg(bugfix);

    QString label = branch;
    if (branch == QLatin1String("feature") || branch == QLatin1String("bugfix")
        || branch == QLatin1String("hotfix")) {
        // Keeps the ticket key of "feature/ABC-12-new-menu" and drops the description.
        label = name.section(QLatin1Char('-'), 0, 1);
    }
    return QStringLiteral("%1.%2.%3 DEV build nr %4 (%5)")
        .arg(version)
        .arg(subversion)
        .arg(bugfix)
        .arg(build)
        .arg(label);
}

QString firmwareVersionPlaceholder()
{
    return QStringLiteral("#.#.# build ###, name \"#####\"");
}

QString boardVersionText(quint8 boardVersion, quint8 boardSubversion)
{
    return QStringLiteral("%1.%2").arg(boardVersion).arg(boardSubversion);
}

QString firmwareNameText(const char (&name)[16])
{
    const void *end = std::memchr(name, 0, sizeof name);
    const int length = end ? int(static_cast<const char *>(end) - name) : int(sizeof name);
    return QtCompat::fromLocal8Bit(name, length);
}

bool parseBoardVersion(const QString &text, quint8 *boardVersion, quint8 *boardSubversion)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    bool versionOk = false;
    bool subversionOk = false;
    const uint version = parts.value(0).toUInt(&versionOk);
    const uint subversion = parts.value(1).toUInt(&subversionOk);
    if (parts.size() != 2 || !versionOk || !subversionOk || version > 255 || subversion > 255)
        return false;
    *boardVersion = quint8(version);
    *boardSubversion = quint8(subversion);
    return true;
}
