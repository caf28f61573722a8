#pragma once

// One length-prefixed read: asks the device by control transfer how many
// bytes it has ready, then fetches them with one bulk read. One object per
// read, on the worker thread.

#include <QByteArray>
#include <QObject>

#include <cstdint>

class USBInterface;

class UsbDataReader : public QObject
{
    Q_OBJECT

public:
    // The longest block a device may announce. Settings and configuration
    // blocks are far smaller; a longer announcement is a faulty device and
    // must not make the program allocate whatever it names.
    static constexpr uint32_t maxLength = 64u * 1024 * 1024;

    UsbDataReader(USBInterface *usbInterface, uint8_t request, uint16_t value, QObject *parent = nullptr);

    // The bytes the device sent, possibly fewer than it announced; empty when
    // it has nothing, announces too much, or the bulk read fails. A failed
    // length query throws USBInterface::ControlTransferException.
    QByteArray read();
    // Stricter, for reads whose bytes are written back: true with exactly
    // what the device announced (empty when it announced nothing); false
    // and empty when the bulk read fails, comes short, or the announcement is
    // too long.
    bool readWhole(QByteArray &block);

private:
    enum class Fetched { Whole, Short, Failed };
    Fetched fetch(QByteArray &block);

    USBInterface *usbInterface;
    uint8_t request;
    uint16_t value;
};
