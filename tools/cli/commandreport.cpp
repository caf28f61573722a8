#include "commandreport.h"

#include "protocol/loaderrecords.h"
#include "ui/versiontext.h"

#include <QJsonDocument>

#include <cmath>
#include <cstdio>

CommandReport &CommandReport::current()
{
    static CommandReport report;
    return report;
}

void CommandReport::start(const QString &command, bool json)
{
    m_command = command;
    m_json = json;
    m_clock.start();
}

QJsonObject CommandReport::identity(const DeviceSession::Device &device)
{
    const auto hex = [](uint16_t id) { return QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0')); };
    return {{QStringLiteral("serial"), serialText(device)},
        {QStringLiteral("usb"),
            QJsonObject {{QStringLiteral("vendor"), hex(device.usbId.vendorId)},
                {QStringLiteral("product"), hex(device.usbId.productId)},
                {QStringLiteral("serial"), device.usbId.serialNumber}}}};
}

QJsonObject CommandReport::firmware(
    uchar version, uchar subversion, uchar bugfix, uint build, const QString &name, bool valid)
{
    return {{QStringLiteral("version"), QStringLiteral("%1.%2.%3").arg(version).arg(subversion).arg(bugfix)},
        {QStringLiteral("build"), qint64(build)}, {QStringLiteral("name"), name},
        {QStringLiteral("valid"), valid},
        {QStringLiteral("text"),
            valid ? formatVersion(version, subversion, bugfix, build, name) : firmwareVersionPlaceholder()}};
}

QJsonObject CommandReport::firmware(const UsbLoader::TFirmwareInformation &record)
{
    return firmware(record.version, record.subversion, record.bugfix, buildNumber(record),
        firmwareNameText(record.name), isValid(record));
}

double CommandReport::secondsOf(const QElapsedTimer &clock)
{
    return std::round(double(clock.nsecsElapsed()) / 1e6) / 1e3;
}

QJsonObject CommandReport::deviceEvent(const DeviceSession::Device &device) const
{
    QJsonObject fields = identity(device);
    fields.insert(QStringLiteral("board"),
        boardVersionText(device.deviceInformation.boardVersion, device.deviceInformation.boardSubversion));
    fields.insert(QStringLiteral("mode"),
        device.flashingMode ? QStringLiteral("flashing") : QStringLiteral("application"));
    fields.insert(QStringLiteral("firmware"), firmware(device.firmwareInformation));
    return fields;
}

void CommandReport::deviceChosen(const DeviceSession::Device &device)
{
    const QJsonObject fields = identity(device);
    for (auto field = fields.begin(); field != fields.end(); ++field)
        m_result.insert(field.key(), field.value());
    m_result.insert(QStringLiteral("old_firmware"), firmware(device.firmwareInformation));
    deviceListed(device);
}

void CommandReport::deviceListed(const DeviceSession::Device &device)
{
    event(QStringLiteral("device"), deviceEvent(device));
}

void CommandReport::progress(const QString &serial, int percent)
{
    event(QStringLiteral("progress"),
        {{QStringLiteral("serial"), serial}, {QStringLiteral("percent"), percent}});
}

void CommandReport::finishing(const QString &serial)
{
    event(QStringLiteral("finishing"), {{QStringLiteral("serial"), serial}});
}

void CommandReport::addResult(const QString &key, const QJsonValue &value)
{
    m_result.insert(key, value);
}

void CommandReport::event(const QString &name, QJsonObject fields)
{
    if (!m_json || m_finished)
        return;
    fields.insert(QStringLiteral("event"), name);
    write(fields);
}

void CommandReport::finish(int status, const QString &reason)
{
    if (!m_json || m_finished)
        return;
    QJsonObject result = m_result;
    result.insert(QStringLiteral("event"), QStringLiteral("result"));
    result.insert(QStringLiteral("command"), m_command);
    result.insert(QStringLiteral("ok"), status == 0);
    result.insert(QStringLiteral("exit"), status);
    result.insert(QStringLiteral("seconds"), secondsOf(m_clock));
    if (status != 0)
        result.insert(QStringLiteral("reason"), reason);
    write(result);
    m_finished = true;
}

void CommandReport::write(const QJsonObject &object)
{
    std::fputs(QJsonDocument(object).toJson(QJsonDocument::Compact).constData(), stdout);
    std::fputc('\n', stdout);
    // A line-control system acts on each line as it comes.
    std::fflush(stdout);
}
