#pragma once

// Writes one user-settings block into one numbered slot: announces its length
// by control transfer, sends it in 256-byte batches, then gives the device
// its pause. One object per slot written, on the worker thread.

#include <QByteArray>
#include <QObject>

#include <cstdint>

class USBInterface;

class UsbSettingsLoader : public QObject
{
    Q_OBJECT

public:
    explicit UsbSettingsLoader(USBInterface *usbInterface, QObject *parent = nullptr);

signals:
    void progress(int progress);

public slots:
    // True when every batch was written. A refused announcement throws
    // USBInterface::ControlTransferException before anything goes out.
    bool sendSettings(QByteArray data, uint8_t slotNumber);

private:
    USBInterface *usbInterface;
};
