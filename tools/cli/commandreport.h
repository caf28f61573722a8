#pragma once

// What a device command tells a line-control system. With --json every
// event is one JSON object on one line of stdout (device found, progress,
// finishing, a device's result during flash --all) and each run ends with
// exactly one "result" object, in success and failure alike; the human
// text is then left out. Without --json it prints nothing. Main thread.

#include "devicesession.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QString>

class CommandReport
{
public:
    // The report of this run of the tool.
    static CommandReport &current();

    // The clock for "seconds" starts here.
    void start(const QString &command, bool json);
    bool isJson() const { return m_json; }
    // Runs since start().
    const QElapsedTimer &clock() const { return m_clock; }

    // A device the command works on: a "device" event, and its identity
    // and firmware go into the result.
    void deviceChosen(const DeviceSession::Device &device);
    // A device that list shows: a "device" event only.
    void deviceListed(const DeviceSession::Device &device);
    void progress(const QString &serial, int percent);
    // The image is complete and the device is writing it.
    void finishing(const QString &serial);
    // Adds a field to the result.
    void addResult(const QString &key, const QJsonValue &value);
    // Any other event, with its "event" name added.
    void event(const QString &name, QJsonObject fields);

    // Ends the run: the one "result" event, with the exit status and, when
    // it is not 0, the reason. Later calls are ignored.
    void finish(int status, const QString &reason);

    // The fields that name a device: "serial" and "usb".
    static QJsonObject identity(const DeviceSession::Device &device);

private:
    QJsonObject deviceEvent(const DeviceSession::Device &device) const;
    void write(const QJsonObject &object);

    bool m_json = false;
    bool m_finished = false;
    QString m_command;
    QElapsedTimer m_clock;
    QJsonObject m_result;
};
