#include "station/reportfields.h"

#include "firmware/versiontext.h"
#include "protocol/loaderrecords.h"

#include <cmath>

QJsonObject firmwareFields(
    uchar version, uchar subversion, uchar bugfix, uint build, const QString &name, bool valid)
{
    return {{QStringLiteral("version"), QStringLiteral("%1.%2.%3").arg(version).arg(subversion).arg(bugfix)},
        {QStringLiteral("build"), qint64(build)}, {QStringLiteral("name"), name},
        {QStringLiteral("valid"), valid},
        {QStringLiteral("text"),
            valid ? formatVersion(version, subversion, bugfix, build, name) : firmwareVersionPlaceholder()}};
}

QJsonObject firmwareFields(const UsbLoader::TFirmwareInformation &record)
{
    return firmwareFields(record.version, record.subversion, record.bugfix, buildNumber(record),
        firmwareNameText(record.name), isValid(record));
}

double secondsOf(const QElapsedTimer &clock)
{
    return std::round(double(clock.nsecsElapsed()) / 1e6) / 1e3;
}
