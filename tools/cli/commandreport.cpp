#include "commandreport.h"

#include "firmware/versiontext.h"
#include "station/reportfields.h"

#include <QJsonDocument>

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

QJsonObject CommandReport::deviceEvent(const DeviceSession::Device &device) const
{
    QJsonObject fields = identity(device);
    fields.insert(QStringLiteral("board"),
        boardVersionText(device.deviceInformation.boardVersion, device.deviceInformation.boardSubversion));
    fields.insert(QStringLiteral("mode"),
        device.flashingMode ? QStringLiteral("flashing") : QStringLiteral("application"));
    fields.insert(QStringLiteral("firmware"), firmwareFields(device.firmwareInformation));
    return fields;
}

void CommandReport::deviceChosen(const DeviceSession::Device &device)
{
    const QJsonObject fields = identity(device);
    for (auto field = fields.begin(); field != fields.end(); ++field)
        m_result.insert(field.key(), field.value());
    m_result.insert(QStringLiteral("old_firmware"), firmwareFields(device.firmwareInformation));
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
