#pragma once

// What the simulated devices keep in their flash, carried from one run of
// a program to the next in one JSON file shared by all devices of a run.
// The file is rewritten whole, atomically, after every change.
//
// Threads: any thread; one lock guards the contents and the writing.

#include "protocol/sim/vantordevice.h"

#include <QJsonObject>
#include <QMap>
#include <QMutex>
#include <QString>

#include <optional>

class SimulatorStateFile
{
public:
    explicit SimulatorStateFile(QString path);

    QString path() const { return m_path; }

    // Reads the file; a missing one holds no devices. False, with a one-line
    // message naming the file, when it cannot be read or is damaged.
    bool load(QString *error);

    // The state stored for the device with this USB serial, if any.
    std::optional<VantorDeviceState> state(const QByteArray &usbSerial) const;
    // Records one device's state and rewrites the file; false with a
    // message when the file cannot be written.
    bool store(const QByteArray &usbSerial, const VantorDeviceState &state, QString *error = nullptr);

    // The JSON form of one device, and back; decoding names what is wrong.
    static QJsonObject encode(const VantorDeviceState &state);
    static bool decode(const QJsonObject &object, VantorDeviceState *state, QString *problem);

private:
    const QString m_path;
    mutable QMutex m_mutex; // guards m_devices and the file
    QMap<QByteArray, VantorDeviceState> m_devices;
};
